// The cryptographic dispatcher: RSA length rules, the system's DES padding checked against
// OpenSSL, the second initialisation, and refusals.
#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::proxyCalls;
using kestrune::testing::proxyModule;
using kestrune::testing::resetProxyCalls;
using kestrune::testing::setProxyFaults;

constexpr std::size_t kModulusBytes = 64;  // 512-bit keys

class CryptTest : public ProxyTokenTest {
 protected:
  void SetUp() override {
    ProxyTokenTest::SetUp();
    loadCipherProviders();
    hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    createSecretKey(hsm_, "des", CKK_DES, desKey());
    createSecretKey(hsm_, "des3", CKK_DES3, des3Key());
    open(proxyModule());
  }
};

TEST_F(CryptTest, RsaSignAcceptsUpToModulusMinus11) {
  Bytes signature;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey",
                                            Bytes(kModulusBytes - 11, 0x5A), signature));
  EXPECT_EQ(kModulusBytes, signature.size());
  Bytes untouched = {1};
  EXPECT_EQ(+TokenCode::kBadInputLength, p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey",
                                                   Bytes(kModulusBytes - 10, 0x5A), untouched));
  EXPECT_EQ(Bytes{1}, untouched);
}

TEST_F(CryptTest, RsaEncryptDecryptAndVerify) {
  const Bytes message = bytesOf("FEDI session key");
  Bytes cipherText;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kEncrypt, kRsaPkcs, "FEDICA.pubkey", message, cipherText));
  EXPECT_EQ(kModulusBytes, cipherText.size());
  Bytes plain;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kDecrypt, kRsaPkcs, "FEDICA.prikey", cipherText, plain));
  EXPECT_EQ(message, plain);
  EXPECT_EQ(+TokenCode::kBadInputLength,
            p11_Crypt(&session_, kDecrypt, kRsaPkcs, "FEDICA.prikey",
                      Bytes(cipherText.begin() + 1, cipherText.end()), plain));

  Bytes signature;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey", message, signature));
  // Verify takes the signature in the output argument and leaves it as it is.
  Bytes check = signature;
  EXPECT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kVerify, kRsaPkcs, "FEDICA.pubkey", message, check));
  EXPECT_EQ(signature, check);
  check[10] ^= 1;
  EXPECT_EQ(+TokenCode::kCryptFailed,
            p11_Crypt(&session_, kVerify, kRsaPkcs, "FEDICA.pubkey", message, check));
  check.pop_back();
  EXPECT_EQ(+TokenCode::kBadInputLength,
            p11_Crypt(&session_, kVerify, kRsaPkcs, "FEDICA.pubkey", message, check));
}

TEST_F(CryptTest, UnknownOperationOrAlgorithmIs124) {
  Bytes output;
  EXPECT_EQ(+TokenCode::kUnknownOperation,
            p11_Crypt(&session_, 512, kRsaPkcs, "FEDICA.prikey", {}, output));
  EXPECT_EQ(+TokenCode::kUnknownOperation,
            p11_Crypt(&session_, 517, kRsaPkcs, "FEDICA.prikey", {}, output));
  EXPECT_EQ(+TokenCode::kUnknownOperation,
            p11_Crypt(&session_, kSign, 507, "FEDICA.prikey", {}, output));
  EXPECT_EQ(+TokenCode::kNotFound, p11_Crypt(&session_, kSign, kRsaPkcs, "absent", {}, output));
}

struct CipherCase {
  std::uint32_t algorithm;
  const char* key;
  const char* openssl;
  bool modulePads;  // the mechanism adds PKCS#5 padding after ours
};
const CipherCase kCiphers[] = {
    {kDesEcb, "des", "DES-ECB", false},        {kDesCbc, "des", "DES-CBC", false},
    {kDesCbcPad, "des", "DES-CBC", true},      {kDes3Ecb, "des3", "DES-EDE3-ECB", false},
    {kDes3Cbc, "des3", "DES-EDE3-CBC", false}, {kDes3CbcPad, "des3", "DES-EDE3-CBC", true},
};

const Bytes& keyOf(const CipherCase& c) {
  return std::string_view(c.key) == "des" ? desKey() : des3Key();
}

TEST_F(CryptTest, EightBytesEncryptAs24PaddedBytesAndDecryptBack) {
  const Bytes message = bytesOf("FEDI-MSG");
  Bytes padded = message;
  padded.resize(24, 0);
  padded.back() = 8;
  for (const auto& c : kCiphers) {
    SCOPED_TRACE(c.algorithm);
    Bytes cipherText;
    ASSERT_EQ(+TokenCode::kTokenOk,
              p11_Crypt(&session_, kEncrypt, c.algorithm, c.key, message, cipherText));
    EXPECT_EQ(opensslCipher(c.openssl, keyOf(c), padded, true, c.modulePads), cipherText);
    EXPECT_EQ(c.modulePads ? 32u : 24u, cipherText.size());
    Bytes plain;
    ASSERT_EQ(+TokenCode::kTokenOk,
              p11_Crypt(&session_, kDecrypt, c.algorithm, c.key, cipherText, plain));
    EXPECT_EQ(message, plain);
  }
}

TEST_F(CryptTest, PaddingLengthsRoundTrip) {
  for (const std::size_t length : {0u, 1u, 7u, 9u, 15u, 16u, 17u}) {
    SCOPED_TRACE(length);
    Bytes message(length);
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<std::uint8_t>(0xF0 + i);
    Bytes cipherText;
    ASSERT_EQ(+TokenCode::kTokenOk,
              p11_Crypt(&session_, kEncrypt, kDes3Cbc, "des3", message, cipherText));
    EXPECT_EQ(length - length % 8 + 16, cipherText.size());
    Bytes plain;
    ASSERT_EQ(+TokenCode::kTokenOk,
              p11_Crypt(&session_, kDecrypt, kDes3Cbc, "des3", cipherText, plain));
    EXPECT_EQ(message, plain);
  }
}

// A plaintext that isn't this system's padding must not cut the output below nothing.
TEST_F(CryptTest, DecryptRefusesPaddingItCannotHaveWritten) {
  struct Case {
    const char* name;
    Bytes plain;
    std::uint32_t code;
    std::size_t kept;
  };
  Bytes lastByte20(16, 'x');
  lastByte20.back() = 0x20;
  Bytes tooShort(8, 'x');
  tooShort.back() = 8;
  Bytes exactlyPadding(16, 0);
  exactlyPadding.back() = 8;
  const Case cases[] = {
      {"last byte 0x20", lastByte20, +TokenCode::kCryptFailed, 0},
      {"more to drop than there is", tooShort, +TokenCode::kCryptFailed, 0},
      {"nothing but padding", exactlyPadding, +TokenCode::kTokenOk, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes cipherText = opensslCipher("DES-EDE3-CBC", des3Key(), c.plain, true, false);
    ASSERT_EQ(c.plain.size(), cipherText.size());
    Bytes output = {0xEE};
    EXPECT_EQ(c.code, p11_Crypt(&session_, kDecrypt, kDes3Cbc, "des3", cipherText, output));
    EXPECT_EQ(c.code == +TokenCode::kTokenOk ? Bytes{} : Bytes{0xEE}, output);
  }
}

TEST_F(CryptTest, ReinitIssuesEveryInitTwice) {
  struct Case {
    std::uint32_t operation;
    std::uint32_t algorithm;
    const char* key;
    const char* init;
  };
  Bytes cipherText;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kEncrypt, kDes3Ecb, "des3", bytesOf("12345678"), cipherText));
  const Case cases[] = {
      {kEncrypt, kDes3Ecb, "des3", "C_EncryptInit"},
      {kDecrypt, kDes3Ecb, "des3", "C_DecryptInit"},
      {kSign, kRsaPkcs, "FEDICA.prikey", "C_SignInit"},
      {kEncrypt, kRsaPkcs, "FEDICA.pubkey", "C_EncryptInit"},
  };
  for (const std::int32_t reinit : {0, 1, 2}) {
    p11_SetReinit(reinit);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.init) + " reinit " + std::to_string(reinit));
      resetProxyCalls();
      const Bytes input = c.operation == kDecrypt ? cipherText : bytesOf("12345678");
      Bytes output;
      // SoftHSM2 keeps the operation after the length query and answers the second init with
      // CKR_OPERATION_ACTIVE; the kept operation then serves.
      EXPECT_EQ(+TokenCode::kTokenOk,
                p11_Crypt(&session_, c.operation, c.algorithm, c.key, input, output));
      EXPECT_EQ(reinit == 1 ? 2u : 1u, proxyCalls(c.init));
      EXPECT_FALSE(output.empty());
    }
  }
}

TEST_F(CryptTest, ModuleFailuresAre116AndLeaveTheOutput) {
  const char* const faults[] = {"C_SignInit=0x5", "C_Sign=0x5*1", "C_Sign=0x5"};
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    setProxyFaults(fault);
    Bytes output = {7};
    EXPECT_EQ(+TokenCode::kCryptFailed,
              p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey", bytesOf("data"), output));
    EXPECT_EQ(Bytes{7}, output);
    EXPECT_EQ(CKR_GENERAL_ERROR, p11_GetLastRV());
    // The proxy answered for the module, which still holds the operation: start afresh.
    setProxyFaults("");
    close();
    open(proxyModule());
  }
  setProxyFaults("C_GetAttributeValue=0x5");
  Bytes output;
  EXPECT_EQ(+TokenCode::kAttributeReadFailed,
            p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey", bytesOf("data"), output));
}

}  // namespace
}  // namespace kestrune::token::test
