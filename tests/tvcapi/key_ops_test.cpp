// The key operations with the software provider: the private key of a certificate, signatures
// (checked by the openssl command), verification, PKCS#1 encryption and decryption, the key
// size, and the diagnostics of a key that can't be had.
#include "tests/tvcapi/core_fixture.h"

namespace kestrune::testing::tvcapi_core {
namespace {

const char* const kProvider = MS_ENHANCED_PROV_A;

class KeyOpsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    key_ = newRsaKey(1024);
    storeInContainer(key_.get(), "signer");
    cert_ =
        certificateHandle(selfSigned(key_.get(), "Signer", 7), "signer", kProvider, AT_KEYEXCHANGE);
    ASSERT_NE(nullptr, cert_);
    ASSERT_EQ(0, TVXCAPI_GetPrivateKey(cert_, &privateKey_));
    const Bytes info = publicKeyInfoDer(key_.get());
    ASSERT_EQ(0, tvxCAPIPublicKeyCoder.decode(&publicKey_, info.data(),
                                              static_cast<uint32_t>(info.size()), 0));
    writeFile(dir() + "/pub.der", info);
    writeFile(dir() + "/key.der", privateKeyDer(key_.get()));
  }
  void TearDown() override {
    TVXCAPI_FreeHandle(publicKey_);
    TVXCAPI_FreeHandle(privateKey_);
    TVXCAPI_FreeHandle(cert_);
    CoreTest::TearDown();
  }

  Bytes sign(const Bytes& input, std::uint32_t options, int want = 0) {
    TVCAPI_BLOB blob{0, nullptr};
    EXPECT_EQ(want, TVXCAPI_PureSign(privateKey_, input.data(), static_cast<uint32_t>(input.size()),
                                     options, &blob));
    return taken(blob);
  }
  int verify(const Bytes& signature, const Bytes& input, std::uint32_t options) {
    return TVXCAPI_PureVerify(publicKey_, signature.data(), static_cast<uint32_t>(signature.size()),
                              input.data(), static_cast<uint32_t>(input.size()), options);
  }
  // The openssl command's verdict on a signature over data with that digest.
  bool opensslVerifies(const Bytes& signature, const Bytes& data, const char* digest) {
    writeFile(dir() + "/sig", signature);
    writeFile(dir() + "/signed.bin", data);
    return run(std::string("openssl dgst -") + digest + " -verify " + dir() +
               "/pub.der -keyform DER -signature " + dir() + "/sig " + dir() + "/signed.bin");
  }

  Ptr<EVP_PKEY> key_;
  TVCAPIHandle* cert_ = nullptr;
  TVCAPIHandle* privateKey_ = nullptr;
  TVCAPIHandle* publicKey_ = nullptr;
};

TEST_F(KeyOpsTest, PrivateKeyHandleOfTheCertificate) {
  EXPECT_EQ(static_cast<std::uint32_t>(TVCAPI_PRIVATE_KEY), privateKey_->type);
  EXPECT_EQ(&tvxCAPIPrivateKeyCoder, privateKey_->coder);
  EXPECT_EQ(&tvxCAPIPrivateKeyOps, privateKey_->keyOps);
  EXPECT_EQ(static_cast<std::uint32_t>(TVCAPI_PUBLIC_KEY), publicKey_->type);
  EXPECT_EQ(&tvxCAPIPublicKeyOps, publicKey_->keyOps);
  EXPECT_EQ(128, TVXCAPI_KeySize(privateKey_));
  EXPECT_EQ(128, privateKey_->keyOps->keySize(privateKey_));
  EXPECT_EQ(128, TVXCAPI_KeySize(publicKey_));
  EXPECT_EQ(-1, TVXCAPI_KeySize(nullptr));
  EXPECT_EQ(-1, privateKey_->keyOps->sixth());
  TVCAPI_BLOB blob{0, nullptr};
  EXPECT_EQ(5001, privateKey_->keyOps->encrypt(privateKey_, nullptr, 0, 0, &blob));
  EXPECT_EQ(5001, publicKey_->keyOps->decrypt(publicKey_, nullptr, 0, 0, &blob));
  EXPECT_EQ(nullptr, privateKey_->keyOps->verify);
  EXPECT_EQ(nullptr, publicKey_->keyOps->sign);
}

TEST_F(KeyOpsTest, SignaturesBigEndianThatOpensslVerifies) {
  const Bytes data = asBytes("USH+... the signed part of a message");
  const Bytes overData = sign(data, 0x10002);
  ASSERT_EQ(128u, overData.size());
  EXPECT_TRUE(opensslVerifies(overData, data, "sha1"));
  // Over the finished hash value: the same signature (PKCS#1 v1.5 is deterministic).
  EXPECT_EQ(overData, sign(sha1(data), 0));
  EXPECT_EQ(overData, sign(sha1(data), 2));
  EXPECT_EQ(overData, sign(data, 0x10000));
  const Bytes md5 = sign(data, 0x10001);
  EXPECT_TRUE(opensslVerifies(md5, data, "md5"));
  EXPECT_FALSE(opensslVerifies(md5, data, "sha1"));
  for (std::uint32_t options : {0x10000u, 0x10001u, 0x10002u}) {
    SCOPED_TRACE(options);
    EXPECT_EQ(0, verify(sign(data, options), data, options));
  }
  EXPECT_EQ(0, verify(overData, sha1(data), 0));
  Bytes tampered = overData;
  tampered[5] ^= 1;
  EXPECT_EQ(5036, verify(tampered, data, 0x10000));
  EXPECT_EQ(5036, verify(overData, asBytes("other data"), 0x10000));
}

// Without the hash algorithm's identifier the signature is a bare PKCS#1 block over the hash;
// verification here always expects the identifier, so it never verifies.
TEST_F(KeyOpsTest, SignatureWithoutHashIdentifier) {
  const Bytes data = asBytes("bare");
  const Bytes signature = sign(sha1(data), 0x20000);
  writeFile(dir() + "/sig", signature);
  writeFile(dir() + "/hash", sha1(data));
  EXPECT_TRUE(run("openssl pkeyutl -verify -pubin -inkey " + dir() + "/pub.der -keyform DER -in " +
                  dir() + "/hash -sigfile " + dir() + "/sig"));
  for (std::uint32_t options : {0u, 1u, 2u, 0x20000u, 0x10000u, 0x30000u, 0x30001u}) {
    SCOPED_TRACE(options);
    EXPECT_NE(0, verify(signature, (options & 0x10000) != 0 ? data : sha1(data), options));
  }
}

TEST_F(KeyOpsTest, RefusedSigningArguments) {
  TVXCAPI_SetDebugFlag(1);
  sign(Bytes(16, 1), 0, 5005);  // a SHA-1 hash value has 20 bytes
  ASSERT_EQ(1u, messages().size());
  EXPECT_NE(std::string::npos, messages()[0].text.find(":TVXCAPI_PureSign"));
  EXPECT_EQ(std::string::npos, messages()[0].text.find('\n'));  // the "%s:%d:%s" form
  sign(Bytes(20, 1), 1, 5005);                                  // an MD5 hash value has 16
  sign(asBytes("data"), 0x10003, 5005);
  sign(asBytes("data"), 0x1000F, 5005);
  EXPECT_EQ(5005, TVXCAPI_PureSign(privateKey_, sha1(Bytes()).data(), 20, 0, nullptr));
  EXPECT_EQ(5005, verify(Bytes(128), asBytes("data"), 0x10003));
}

TEST_F(KeyOpsTest, CallersSignatureBuffer) {
  const Bytes hash = sha1(asBytes("data"));
  std::uint8_t small[64] = {};
  TVCAPI_BLOB blob{sizeof small, small};
  EXPECT_EQ(5003, TVXCAPI_PureSign(privateKey_, hash.data(), 20, 0, &blob));
  EXPECT_EQ(128u, blob.count);
  EXPECT_EQ(small, blob.data);
  std::uint8_t room[200] = {};
  blob = {sizeof room, room};
  ASSERT_EQ(0, TVXCAPI_PureSign(privateKey_, hash.data(), 20, 0, &blob));
  EXPECT_EQ(128u, blob.count);
  EXPECT_EQ(room, blob.data);
  EXPECT_EQ(sign(hash, 0), Bytes(room, room + 128));
}

TEST_F(KeyOpsTest, EncryptionUpToTheKeySizeLessEleven) {
  const Bytes longest(117, 0x5A);
  TVCAPI_BLOB blob{0, nullptr};
  ASSERT_EQ(0, TVXCAPI_PublicEncrypt(publicKey_, longest.data(), 117, 0, &blob));
  const Bytes ciphertext = taken(blob);
  ASSERT_EQ(128u, ciphertext.size());
  EXPECT_EQ(5005, TVXCAPI_PublicEncrypt(publicKey_, Bytes(118).data(), 118, 0, &blob));
  // openssl reads the ciphertext most significant byte first.
  writeFile(dir() + "/ct", ciphertext);
  ASSERT_TRUE(run("openssl pkeyutl -decrypt -inkey " + dir() + "/key.der -keyform DER -in " +
                  dir() + "/ct -out " + dir() + "/pt"));
  EXPECT_EQ(longest, readFile(dir() + "/pt"));
  ASSERT_EQ(0, TVXCAPI_PrivateDecrypt(privateKey_, ciphertext.data(), 128, 0, &blob));
  EXPECT_EQ(0, blob.data[blob.count]);
  EXPECT_EQ(longest, taken(blob));

  std::uint8_t small[100];
  blob = {sizeof small, small};
  EXPECT_EQ(5003, TVXCAPI_PublicEncrypt(publicKey_, longest.data(), 10, 0, &blob));
  EXPECT_EQ(128u, blob.count);
  blob = {sizeof small, small};
  EXPECT_EQ(5003, TVXCAPI_PrivateDecrypt(privateKey_, ciphertext.data(), 128, 0, &blob));
  EXPECT_EQ(128u, blob.count);
}

TEST_F(KeyOpsTest, DecryptsWhatOpensslEncrypted) {
  writeFile(dir() + "/pt", asBytes("a session key"));
  ASSERT_TRUE(run("openssl pkeyutl -encrypt -pubin -inkey " + dir() + "/pub.der -keyform DER -in " +
                  dir() + "/pt -out " + dir() + "/ct"));
  const Bytes ciphertext = readFile(dir() + "/ct");
  std::uint8_t room[128];
  TVCAPI_BLOB blob{sizeof room, room};
  ASSERT_EQ(0, TVXCAPI_PrivateDecrypt(privateKey_, ciphertext.data(), 128, 0, &blob));
  EXPECT_EQ("a session key", std::string(reinterpret_cast<char*>(room), blob.count));
  EXPECT_EQ(0, room[blob.count]);
  Bytes damaged = ciphertext;
  damaged[0] ^= 0x40;
  blob = {0, nullptr};
  EXPECT_EQ(5064, TVXCAPI_PrivateDecrypt(privateKey_, damaged.data(), 128, 0, &blob));
  EXPECT_EQ(nullptr, blob.data);
}

TEST_F(KeyOpsTest, KeysThatCannotBeHad) {
  TVCAPIHandle* key = nullptr;
  TVCAPIHandle* bare = certificateHandle(selfSigned(key_.get(), "Bare", 8));
  EXPECT_EQ(5204, TVXCAPI_GetPrivateKey(bare, &key));
  TVXCAPI_FreeHandle(bare);
  TVCAPIHandle* elsewhere =
      certificateHandle(selfSigned(key_.get(), "Elsewhere", 9), "missing", kProvider, 1);
  EXPECT_EQ(5203, TVXCAPI_GetPrivateKey(elsewhere, &key));
  EXPECT_TRUE(messages().empty());  // the debug flag is off
  TVXCAPI_SetDebugFlag(1);
  EXPECT_EQ(5203, TVXCAPI_GetPrivateKey(elsewhere, &key));
  ASSERT_EQ(1u, messages().size());
  EXPECT_EQ("Debug Message", messages()[0].caption);
  const std::string& text = messages()[0].text;
  const std::string tail = "\nTVXCAPI_GetPrivateKey:CryptAcquireContextA:80090016";
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
  EXPECT_EQ("TVXCAPI:", text.substr(0, 8));
  TVXCAPI_FreeHandle(elsewhere);
  // A container without a key of the property's spec.
  TVCAPIHandle* signatureSpec =
      certificateHandle(selfSigned(key_.get(), "Signature", 10), "signer", kProvider, 2);
  EXPECT_EQ(5001, TVXCAPI_GetPrivateKey(signatureSpec, &key));
  EXPECT_EQ(nullptr, key);
  TVXCAPI_FreeHandle(signatureSpec);
}

// The software provider has no PIN: a PIN given to it is refused, as the provider refuses the
// parameter; without one (empty, or the provider to ask) its key is usable as it is.
TEST_F(KeyOpsTest, PinToAProviderWithoutOne) {
  EXPECT_EQ(5001, TVXCAPI_SetPrivateKeyPin(privateKey_, "1234", 0));
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(privateKey_, "1234", 0x1000));
  EXPECT_EQ(0, TVXCAPI_SetPrivateKeyPin(privateKey_, "", 0));
  EXPECT_EQ(5005, TVXCAPI_SetPrivateKeyPin(privateKey_, nullptr, 0));
}

TEST_F(KeyOpsTest, LibraryWideContext) {
  EXPECT_EQ(0, TVXCAPI_AcquireCSP(kProvider));
  EXPECT_EQ(0, TVXCAPI_AcquireCSP(kProvider));  // the first is released, not lost
  TVXCAPI_ReleaseCSP(0);
  TVXCAPI_ReleaseCSP(0);
  EXPECT_EQ(5203, TVXCAPI_AcquireCSP("Nowhere"));
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
