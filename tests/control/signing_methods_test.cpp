// sign, signB64, signHash: every signature is checked with OpenSSL against the public key
// read from the token, never with our own code.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <optional>
#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/support/softhsm.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::kUserPin;
using testing::u16;

std::u16string hexOf(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::u16string hex;
  for (const auto byte : bytes) {
    hex.push_back(static_cast<char16_t>(digits[byte >> 4]));
    hex.push_back(static_cast<char16_t>(digits[byte & 0x0F]));
  }
  return hex;
}

bool isUpperHex(const std::u16string& text) {
  return text.find_first_not_of(u"0123456789ABCDEF") == std::u16string::npos;
}

// expectSignatures signs through the three methods on a logged-in control and verifies each
// with the token's public key: sign and signB64 with signMd, signHash always as MD5.
void expectSignatures(testing::SoftHsm& hsm, TVFEDIMiniKeyCrypt& control,
                      const std::string& publicLabel, const EVP_MD* signMd) {
  const auto text = control.sign(u"abc");
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  const auto decoded = control.signB64(u"SGVsbG8sIEZFREkh");  // "Hello, FEDI!"
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  const Bytes md5 = testing::digestOf(EVP_md5(), "a hash computed by the caller");
  const auto hash = control.signHash(hexOf(md5));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  ASSERT_TRUE(text && decoded && hash);

  for (const auto* signature : {&*text, &*decoded, &*hash}) {
    EXPECT_EQ(128u, signature->size());  // a 512-bit key
    EXPECT_TRUE(isUpperHex(*signature)) << std::string(signature->begin(), signature->end());
  }
  control.close();  // the fixture reads the key through its own session
  const testing::KeyPtr key = testing::tokenPublicKey(hsm, publicLabel);
  EXPECT_TRUE(testing::verifiesDigest(key.get(), signMd, testing::digestOf(signMd, "abc"), *text));
  EXPECT_TRUE(testing::verifiesDigest(key.get(), signMd, testing::digestOf(signMd, "Hello, FEDI!"),
                                      *decoded));
  EXPECT_TRUE(testing::verifiesDigest(key.get(), EVP_md5(), md5, *hash));
  // And not with the other digest: the DigestInfo names its algorithm.
  const EVP_MD* otherMd = signMd == EVP_md5() ? EVP_sha1() : EVP_md5();
  EXPECT_FALSE(
      testing::verifiesDigest(key.get(), otherMd, testing::digestOf(otherMd, "abc"), *text));
}

TEST(Sign, LinkwaySignsTheMd5DigestInfo) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  expectSignatures(hsm, control, "FEDICA.pubkey", EVP_md5());
}

TEST(Sign, SafeNetAndTaiOneSignWithTheirIssuersKeys) {
  struct Case {
    const char* layout;
    void (*layOut)(testing::SoftHsm&);
    const char* publicLabel;
  };
  const Case cases[] = {
      {"SafeNet", [](testing::SoftHsm& h) { testing::layOutSafeNet(h, "0123", "S001", "SORG"); },
       testing::kSafeNetPublicKey},
      {"TaiOne",
       [](testing::SoftHsm& h) {
         testing::layOutTaiOne(h, testing::taiOneUserData("TORG", "T001", {}));
       },
       testing::kTaiOnePublicKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    testing::SoftHsm hsm;
    c.layOut(hsm);
    TVFEDIMiniKeyCrypt control;
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
    expectSignatures(hsm, control, c.publicLabel, EVP_md5());
  }
}

TEST(Sign, ZrmlSignsSha1ButSignHashStaysMd5) {
  testing::SoftHsm hsm;
  testing::layOutZrml(
      hsm, {.label = "ZRML user", .commonName = "Z001", .issuerOrganisation = "ZRML", .serial = 1});
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  ASSERT_EQ(u"ZRML", control.getType());
  expectSignatures(hsm, control, std::string("ZRML user") + testing::kZrmlPublicSuffix, EVP_sha1());
}

TEST(Sign, SignsTheBig5FormOfTheText) {
  testing::SoftHsm hsm;
  testing::layOutLinkway(hsm, "U001", "ORG01");
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  const auto signature = control.sign(u"中文");
  ASSERT_TRUE(signature);
  control.close();
  const testing::KeyPtr key = testing::tokenPublicKey(hsm, "FEDICA.pubkey");
  EXPECT_TRUE(testing::verifiesDigest(
      key.get(), EVP_md5(), testing::digestOf(EVP_md5(), "\xA4\xA4\xA4\xE5"), *signature));
}

class SignFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::layOutLinkway(hsm, "U001", "ORG01");
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::proxyModule())));
    testing::resetProxyCalls();
  }
  void TearDown() override { testing::setProxyFaults(""); }

  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  const std::u16string md5Hex = u"900150983CD24FB0D6963F7D28E17F72";
};

TEST_F(SignFailure, EveryMethodNeedsCheckPassword) {
  EXPECT_EQ(std::nullopt, control.sign(u"abc"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  EXPECT_EQ(std::nullopt, control.signB64(u"YWJj"));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  EXPECT_EQ(std::nullopt, control.signHash(md5Hex));
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());
  EXPECT_EQ(0u, testing::proxyCalls("C_Sign"));
}

TEST_F(SignFailure, SignHashTakesExactlyAnMd5HashInHex) {
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  struct Case {
    const char* name;
    std::u16string hex;
  };
  const Case cases[] = {
      {"40 digits (a SHA-1 hash)", u"A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {"31 digits", md5Hex.substr(1)},
      {"a G among the digits", u"G00150983CD24FB0D6963F7D28E17F72"},
      {"34 digits", md5Hex + u"00"},
      {"empty", u""},
      {"a blank", u"900150983CD24FB0 6963F7D28E17F72"},
  };
  testing::resetProxyCalls();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::nullopt, control.signHash(c.hex));
    EXPECT_EQ(+ControlCode::kMalformedArgument, control.getErrorCode());
  }
  EXPECT_EQ(0u, testing::proxyCalls("C_Sign"));
  EXPECT_TRUE(control.signHash(md5Hex));
  EXPECT_TRUE(control.signHash(u"900150983cd24fb0d6963f7d28e17f72"));  // either case
}

TEST_F(SignFailure, SignB64RefusesTextThatIsNotBase64) {
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  EXPECT_EQ(std::nullopt, control.signB64(u"YW*j"));
  EXPECT_EQ(+ControlCode::kBase64Failed, control.getErrorCode());
  EXPECT_EQ(0u, testing::proxyCalls("C_Sign"));
}

TEST_F(SignFailure, TokenThatDoesNotSignGives1003) {
  for (const char* faults : {"C_Sign=0x5", "C_SignInit=0x5"}) {
    SCOPED_TRACE(faults);
    // A fresh session each time: SoftHSM2 never saw the faulted call end its operation.
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
    testing::setProxyFaults(faults);
    EXPECT_EQ(std::nullopt, control.sign(u"abc"));
    EXPECT_EQ(+ControlCode::kNoSignature, control.getErrorCode());
  }
}

TEST_F(SignFailure, MissingKeyGives10010) {
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  // Forced to SafeNet, the token has no "A FEDI RSA PRIVATE Key".
  control.setTokenType(1);
  EXPECT_EQ(std::nullopt, control.sign(u"abc"));
  EXPECT_EQ(+ControlCode::kSigningKeyMissing, control.getErrorCode());
  EXPECT_EQ(std::nullopt, control.signHash(md5Hex));
  EXPECT_EQ(+ControlCode::kSigningKeyMissing, control.getErrorCode());
}

TEST(SignNoKnownKey, NeverSetKeyLabelGives10010) {
  testing::SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(testing::softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  EXPECT_EQ(std::nullopt, control.sign(u"abc"));
  EXPECT_EQ(+ControlCode::kSigningKeyMissing, control.getErrorCode());
}

}  // namespace
}  // namespace kestrune
