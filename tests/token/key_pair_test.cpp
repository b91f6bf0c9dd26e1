// Key-pair generation on the token, the public parts, and the key information for signing.
#include <string>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::proxyModule;
using kestrune::testing::setProxyFaults;
using kestrune::testing::softHsmModule;

class KeyPairTest : public ProxyTokenTest {};

TEST_F(KeyPairTest, ModulusAbove2048BitsIs122WithoutTouchingTheToken) {
  open(softHsmModule());
  const std::uint64_t calls = p11_CallCount();
  EXPECT_EQ(+TokenCode::kModulusTooLarge,
            p11_GenerateKeyPair(&session_, "FEDICA.pubkey", "FEDICA.prikey", 2049));
  EXPECT_EQ(calls, p11_CallCount());
  close();
  EXPECT_TRUE(hsm_.labels(0).empty());
}

TEST_F(KeyPairTest, GeneratesThePairWithTheSystemTemplates) {
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_GenerateKeyPair(&session_, "FEDICA.pubkey", "FEDICA.prikey", 2048));
  const CK_OBJECT_HANDLE publicKey = p11_HandleBuffer()[0];
  const CK_OBJECT_HANDLE privateKey = p11_HandleBuffer()[1];
  EXPECT_NE(publicKey, privateKey);

  Bytes modulus;
  Bytes exponent;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_GetPublicKeyParts(&session_, "FEDICA.prikey", &modulus, &exponent));
  EXPECT_EQ(256u, modulus.size());
  EXPECT_EQ(Bytes({0x01, 0x00, 0x01}), exponent);
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  Bytes publicModulus;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_GetModulus(&session_, "FEDICA.pubkey", publicModulus));
  EXPECT_EQ(modulus, publicModulus);
  close();

  const Bytes id = bytesOf("969583950001LINKWAY");
  struct Case {
    const char* label;
    CK_ATTRIBUTE_TYPE type;
    Bytes want;
  };
  const Case cases[] = {
      {"FEDICA.pubkey", CKA_PRIVATE, {CK_FALSE}},
      {"FEDICA.pubkey", CKA_TOKEN, {CK_TRUE}},
      {"FEDICA.pubkey", CKA_ENCRYPT, {CK_TRUE}},
      {"FEDICA.pubkey", CKA_VERIFY, {CK_TRUE}},
      {"FEDICA.pubkey", CKA_WRAP, {CK_TRUE}},
      {"FEDICA.pubkey", CKA_VERIFY_RECOVER, {CK_TRUE}},
      {"FEDICA.pubkey", CKA_ID, id},
      {"FEDICA.prikey", CKA_PRIVATE, {CK_TRUE}},
      {"FEDICA.prikey", CKA_TOKEN, {CK_TRUE}},
      {"FEDICA.prikey", CKA_SENSITIVE, {CK_TRUE}},
      {"FEDICA.prikey", CKA_EXTRACTABLE, {CK_FALSE}},
      {"FEDICA.prikey", CKA_DECRYPT, {CK_TRUE}},
      {"FEDICA.prikey", CKA_SIGN, {CK_TRUE}},
      {"FEDICA.prikey", CKA_UNWRAP, {CK_TRUE}},
      {"FEDICA.prikey", CKA_SIGN_RECOVER, {CK_TRUE}},
      {"FEDICA.prikey", CKA_ID, id},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.label) + " attribute " + std::to_string(c.type));
    EXPECT_EQ(c.want, hsm_.attribute(0, c.label, c.type));
  }
  EXPECT_EQ(CKR_KEY_UNEXTRACTABLE, hsm_.wrapPrivateKey(0, "FEDICA.prikey"));
}

TEST_F(KeyPairTest, ExistingLabelIs107) {
  hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  open(proxyModule());
  struct Case {
    const char* publicLabel;
    const char* privateLabel;
  };
  for (const Case c :
       {Case{"FEDICA.pubkey", "other.prikey"}, Case{"other.pubkey", "FEDICA.prikey"}}) {
    SCOPED_TRACE(c.publicLabel);
    EXPECT_EQ(+TokenCode::kLabelExists,
              p11_GenerateKeyPair(&session_, c.publicLabel, c.privateLabel, 512));
  }
  EXPECT_EQ(0u, kestrune::testing::proxyCalls("C_GenerateKeyPair"));
}

TEST_F(KeyPairTest, RefusedGenerationIs116WithTheModuleValue) {
  open(proxyModule());
  setProxyFaults("C_GenerateKeyPair=0x31");
  EXPECT_EQ(+TokenCode::kCryptFailed,
            p11_GenerateKeyPair(&session_, "FEDICA.pubkey", "FEDICA.prikey", 512));
  EXPECT_EQ(CKR_DEVICE_MEMORY, p11_GetLastRV());
}

// A module that won't take CKA_EXTRACTABLE on generation gets the template it always got, once;
// any other refusal is final.
TEST_F(KeyPairTest, RefusedAttributeIsRetriedOnceWithoutIt) {
  open(proxyModule());
  struct Case {
    const char* faults;
    std::uint32_t want;
    std::uint64_t calls;
    CK_RV lastRV;
  };
  const Case cases[] = {
      {"C_GenerateKeyPair=0x12*1", +TokenCode::kTokenOk, 2, CKR_OK},  // CKR_ATTRIBUTE_TYPE_INVALID
      {"C_GenerateKeyPair=0x13*1", +TokenCode::kTokenOk, 2, CKR_OK},  // CKR_ATTRIBUTE_VALUE_INVALID
      {"C_GenerateKeyPair=0xD1*1", +TokenCode::kTokenOk, 2, CKR_OK},  // CKR_TEMPLATE_INCONSISTENT
      {"C_GenerateKeyPair=0x12", +TokenCode::kCryptFailed, 2, CKR_ATTRIBUTE_TYPE_INVALID},
      {"C_GenerateKeyPair=0x31*1", +TokenCode::kCryptFailed, 1, CKR_DEVICE_MEMORY},
      {"C_GenerateKeyPair=0xD0*1", +TokenCode::kCryptFailed, 1, CKR_TEMPLATE_INCOMPLETE},
  };
  int pair = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    setProxyFaults(c.faults);
    kestrune::testing::resetProxyCalls();
    const std::string suffix = std::to_string(++pair);
    ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(1));
    EXPECT_EQ(c.want, p11_GenerateKeyPair(&session_, "pub" + suffix, "pri" + suffix, 512));
    EXPECT_EQ(c.calls, kestrune::testing::proxyCalls("C_GenerateKeyPair"));
    EXPECT_EQ(c.lastRV, p11_GetLastRV());
  }
}

TEST_F(KeyPairTest, PublicPartsAndKeyInfo) {
  hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  const Bytes modulus = hsm_.attribute(0, "FEDICA.pubkey", CKA_MODULUS);
  open(softHsmModule());

  Bytes exponent;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_GetPublicKeyParts(&session_, "FEDICA.prikey", nullptr, &exponent));
  EXPECT_EQ(Bytes({0x01, 0x00, 0x01}), exponent);
  // After login the search asks for private objects: the public key is not among them.
  EXPECT_EQ(+TokenCode::kNotFound, p11_GetModulus(&session_, "FEDICA.pubkey", exponent));

  for (const std::int32_t withExponent : {0, 1}) {
    SCOPED_TRACE(withExponent);
    TokenKeyInfo keyInfo;
    ASSERT_EQ(0, token_GetKeyInfo(&keyInfo, &session_, "FEDICA.prikey", withExponent));
    EXPECT_EQ(&session_, keyInfo.session);
    EXPECT_STREQ("FEDICA.prikey", keyInfo.label);
    EXPECT_EQ(512u, keyInfo.bits);
    EXPECT_EQ(64u, keyInfo.bytes);
    EXPECT_EQ(6u, keyInfo.six);
  }
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  Bytes read;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_GetModulus(&session_, "FEDICA.pubkey", read));
  EXPECT_EQ(modulus, read);

  TokenKeyInfo missing;
  EXPECT_EQ(static_cast<std::int32_t>(+TokenCode::kNotFound),
            token_GetKeyInfo(&missing, &session_, "absent", 0));
  EXPECT_EQ(0u, missing.bytes);
  EXPECT_EQ(-1, token_GetKeyInfo(nullptr, &session_, "FEDICA.prikey", 0));
}

}  // namespace
}  // namespace kestrune::token::test
