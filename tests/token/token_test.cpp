#include "tests/token/token_test.h"

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <bit>
#include <memory>

#include "common/der.h"
#include "common/ptr.h"

namespace kestrune::token::test {
namespace {

using CipherCtx = Ptr<EVP_CIPHER_CTX>;
using Cipher = Ptr<EVP_CIPHER>;
using Pkey = Ptr<EVP_PKEY>;
using PkeyCtx = Ptr<EVP_PKEY_CTX>;
using MdCtx = Ptr<EVP_MD_CTX>;
using X509Owned = Ptr<X509>;
using ParamBld = Ptr<OSSL_PARAM_BLD>;
using Params = Ptr<OSSL_PARAM>;
using Bignum = Ptr<BIGNUM>;

// A Cryptoki session straight on SoftHSM2, for what the fixture doesn't lay out.
struct DirectSession {
  explicit DirectSession(CK_SLOT_ID slot) {
    module = dlopen(kestrune::testing::softHsmModule(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getList == nullptr || getList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) {
      f = nullptr;
      return;
    }
    const std::string_view pin = kestrune::testing::kUserPin;
    ready = f->C_OpenSession(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                             &handle) == CKR_OK &&
            f->C_Login(handle, CKU_USER,
                       reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                       pin.size()) == CKR_OK;
  }
  ~DirectSession() {
    if (f != nullptr) {
      f->C_CloseSession(handle);
      f->C_Finalize(nullptr);
    }
    if (module != nullptr) dlclose(module);
  }
  DirectSession(const DirectSession&) = delete;
  DirectSession& operator=(const DirectSession&) = delete;

  void* module = nullptr;
  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  bool ready = false;
};

Bytes withOddParity(Bytes key) {
  for (auto& byte : key) {
    const int ones = std::popcount(static_cast<unsigned>(byte & 0xFE));
    byte = static_cast<std::uint8_t>((byte & 0xFE) | (ones % 2 == 0 ? 1 : 0));
  }
  return key;
}

}  // namespace

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

void TokenTest::TearDown() {
  close();
  p11_UnloadAll();
  token_SetSlotIndex(0);
}

void TokenTest::open(const char* module, const char* pin, std::uint32_t want) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(module));
  const std::uint32_t code = token_Open(&session_, pin);
  opened_ = code == +TokenCode::kTokenOk;
  ASSERT_EQ(want, code);
}

void TokenTest::close() {
  if (opened_) token_Close(&session_);
  opened_ = false;
}

void ProxyTokenTest::SetUp() {
  kestrune::testing::setProxyFaults("");
  kestrune::testing::resetProxyCalls();
}

void ProxyTokenTest::TearDown() {
  kestrune::testing::setProxyFaults("");
  TokenTest::TearDown();
}

void createSecretKey(kestrune::testing::SoftHsm& hsm, std::string_view label, CK_KEY_TYPE type,
                     const Bytes& value) {
  const auto slots = hsm.slots();
  ASSERT_FALSE(slots.empty());
  DirectSession session(slots[0]);
  ASSERT_TRUE(session.ready) << "SoftHSM2 session for the secret key";
  CK_OBJECT_CLASS secretKey = CKO_SECRET_KEY;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, &secretKey, sizeof secretKey},
      {CKA_KEY_TYPE, &type, sizeof type},
      {CKA_TOKEN, &yes, 1},
      {CKA_PRIVATE, &yes, 1},
      {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
      {CKA_VALUE, const_cast<std::uint8_t*>(value.data()), value.size()},
      {CKA_ENCRYPT, &yes, 1},
      {CKA_DECRYPT, &yes, 1},
      {CKA_SIGN, &yes, 1},
      {CKA_VERIFY, &yes, 1},
  };
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(CKR_OK, session.f->C_CreateObject(session.handle, tmpl, std::size(tmpl), &key));
}

const Bytes& desKey() {
  static const Bytes key = withOddParity({0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1});
  return key;
}

const Bytes& des3Key() {
  static const Bytes key =
      withOddParity({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                     0x76, 0x54, 0x32, 0x10, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67});
  return key;
}

namespace {

// The providers stay loaded for the whole test run and are unloaded after the last test,
// when SoftHSM2 has been finalised and holds no cipher of theirs.
class CipherProviders : public ::testing::Environment {
 public:
  bool load() {
    if (legacy_ == nullptr) legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
    if (default_ == nullptr) default_ = OSSL_PROVIDER_load(nullptr, "default");
    return legacy_ != nullptr && default_ != nullptr;
  }
  void TearDown() override {
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
    if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
    legacy_ = default_ = nullptr;
  }

 private:
  OSSL_PROVIDER* legacy_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
};

CipherProviders* const cipherProviders =
    static_cast<CipherProviders*>(::testing::AddGlobalTestEnvironment(new CipherProviders));

}  // namespace

void loadCipherProviders() {
  ASSERT_TRUE(cipherProviders->load()) << "OpenSSL's legacy provider";
}

Bytes opensslCipher(const char* name, const Bytes& key, const Bytes& data, bool encrypt,
                    bool padding) {
  Cipher cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  const unsigned char iv[8] = {};
  if (!cipher || !ctx ||
      EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), iv, encrypt ? 1 : 0, nullptr) != 1) {
    return {};
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
  Bytes out(data.size() + 16);
  int length = 0;
  int last = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &length, data.data(),
                       static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + length, &last) != 1) {
    return {};
  }
  out.resize(static_cast<std::size_t>(length + last));
  return out;
}

Certificate selfSignedCertificate(const char* commonName) {
  PkeyCtx keyCtx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* rawKey = nullptr;
  if (!keyCtx || EVP_PKEY_keygen_init(keyCtx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(keyCtx.get(), 512) != 1 ||
      EVP_PKEY_keygen(keyCtx.get(), &rawKey) != 1) {
    ADD_FAILURE() << "RSA key for the certificate";
    return {};
  }
  Pkey key(rawKey);
  X509Owned certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x1234567);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Kestrune Test"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
    ADD_FAILURE() << "signing the certificate";
    return {};
  }
  return Certificate{toDer(certificate.get(), i2d_X509),
                     toDer(X509_get_subject_name(certificate.get()), i2d_X509_NAME),
                     toDer(X509_get_issuer_name(certificate.get()), i2d_X509_NAME),
                     toDer(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER)};
}

bool verifyWithOpenSsl(const Bytes& modulus, const Bytes& exponent, const char* digest,
                       const Bytes& message, const Bytes& signature) {
  Bignum n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  Bignum e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  ParamBld build(OSSL_PARAM_BLD_new());
  if (!n || !e || !build ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return false;
  }
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx fromData(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* rawKey = nullptr;
  if (!params || !fromData || EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
      EVP_PKEY_fromdata(fromData.get(), &rawKey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return false;
  }
  Pkey key(rawKey);
  MdCtx md(EVP_MD_CTX_new());
  return md &&
         EVP_DigestVerifyInit_ex(md.get(), nullptr, digest, nullptr, nullptr, key.get(), nullptr) ==
             1 &&
         EVP_DigestVerify(md.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

Bytes digestInfo(const char* digest, const Bytes& message) {
  // DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING }
  static const Bytes kMd5Prefix = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                   0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  static const Bytes kSha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                    0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  const bool md5 = std::string_view(digest) == "MD5";
  Bytes out = md5 ? kMd5Prefix : kSha1Prefix;
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), hash, &length, md5 ? EVP_md5() : EVP_sha1(), nullptr);
  out.insert(out.end(), hash, hash + length);
  return out;
}

}  // namespace kestrune::token::test
