// Token signing of a DigestInfo, checked by OpenSSL with the public key read from the token.
#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::softHsmModule;

class RsaSignTest : public TokenTest {
 protected:
  void SetUp() override {
    hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 1024);
    open(softHsmModule());
  }
};

TEST_F(RsaSignTest, SignatureOverADigestInfoVerifiesWithOpenSsl) {
  TokenKeyInfo keyInfo;
  ASSERT_EQ(0, token_GetKeyInfo(&keyInfo, &session_, "FEDICA.prikey", 1));
  Bytes modulus;
  Bytes exponent;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_GetPublicKeyParts(&session_, "FEDICA.prikey", &modulus, &exponent));

  const Bytes message = bytesOf("UNH+1+FEDI:1'BGM+380+INV001'UNT+3+1'");
  for (const char* digest : {"MD5", "SHA1"}) {
    SCOPED_TRACE(digest);
    const Bytes info = digestInfo(digest, message);
    Bytes signature;
    ASSERT_EQ(128, token_RsaSign(info.size(), info.data(), signature, &keyInfo, 0));
    ASSERT_EQ(keyInfo.bytes, signature.size());
    EXPECT_TRUE(verifyWithOpenSsl(modulus, exponent, digest, message, signature));
    EXPECT_FALSE(verifyWithOpenSsl(modulus, exponent, digest, bytesOf("other"), signature));
  }
}

TEST_F(RsaSignTest, FailuresAreMinusOne) {
  TokenKeyInfo keyInfo;
  ASSERT_EQ(0, token_GetKeyInfo(&keyInfo, &session_, "FEDICA.prikey", 0));
  const Bytes tooLong(keyInfo.bytes - 10, 1);
  Bytes signature = {3};
  EXPECT_EQ(-1, token_RsaSign(tooLong.size(), tooLong.data(), signature, &keyInfo, 0));
  EXPECT_EQ(-1, token_RsaSign(4, nullptr, signature, &keyInfo, 0));
  EXPECT_EQ(-1, token_RsaSign(tooLong.size(), tooLong.data(), signature, nullptr, 0));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));  // the private key is no longer found
  const Bytes info = digestInfo("MD5", bytesOf("x"));
  EXPECT_EQ(-1, token_RsaSign(info.size(), info.data(), signature, &keyInfo, 0));
  EXPECT_EQ(Bytes{3}, signature);
}

}  // namespace
}  // namespace kestrune::token::test
