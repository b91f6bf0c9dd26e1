// FEDIMessageSign on a SoftHSM2 token: the worked invoice byte for byte, its signature checked
// with OpenSSL against the token's public key, and the method's codes.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/text_conversion.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include "tests/control/control_test_support.h"
#include "tests/control/identity_layouts.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

constexpr std::u16string_view kInvoice = u"UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";
constexpr std::string_view kSignedInvoiceHead =
    "UNH+1+INVOIC:D:96A:UN'USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::6:1'"
    "USC+1234567890+3:::::U001:ORG01'USA+6:::10:1'BGM+380+1'UST+01'USR+";
constexpr std::string_view kSignedInvoiceTail = "'UNT+9+1'";
// The bytes the signature covers: from USH+94W up to and including the ' after BGM+380+1.
constexpr std::string_view kSignedRange =
    "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::6:1'"
    "USC+1234567890+3:::::U001:ORG01'USA+6:::10:1'BGM+380+1'";

std::string narrow(const std::u16string& text) {
  return std::string(text.begin(), text.end());
}

// The signature's hexadecimal digits, between the two fixed parts of the signed invoice.
std::string signatureOf(const std::string& signedInvoice) {
  const std::size_t begin = kSignedInvoiceHead.size();
  const std::size_t end = signedInvoice.size() - kSignedInvoiceTail.size();
  return end > begin ? signedInvoice.substr(begin, end - begin) : std::string();
}

// OpenSSL's own check of a PKCS #1 v1.5 signature over data.
bool opensslVerifies(EVP_PKEY* key, const EVP_MD* md, std::string_view data,
                     const std::string& hex) {
  const std::u16string wide(hex.begin(), hex.end());
  return verifiesDigest(key, md, digestOf(md, data), wide);
}

// SigningTime shows 2024-01-02 03:04:05 local time on the control's clock while it lives, in
// a zone without daylight saving so that the local time is exactly that.
class SigningTime {
 public:
  SigningTime() {
    if (const char* zone = getenv("TZ")) previousZone_ = zone;
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::int64_t at = platform::makeLocalTime({2024, 1, 2, 3, 4, 5});
    previousClock_ = platform::setClock([at] { return at; });
  }
  ~SigningTime() {
    platform::setClock(std::move(previousClock_));
    if (previousZone_) {
      setenv("TZ", previousZone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  SigningTime(const SigningTime&) = delete;
  SigningTime& operator=(const SigningTime&) = delete;

 private:
  std::optional<std::string> previousZone_;
  platform::Clock previousClock_;
};

// A Linkway token as makeCard leaves it, with a certificate of serial number 1234567890 for
// its key in "EOICert", and the control logged in through the fault proxy.
class EdifactSignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    layOutLinkway(hsm, "U001", "ORG01");
    bag_ = linkwayCertificateBag();
    ASSERT_NE(nullptr, bag_);
    const std::vector<std::uint8_t> der = ca::toDer(*bag_);
    ASSERT_FALSE(der.empty());
    std::vector<std::uint8_t> stored = der;
    stored.push_back(0);
    hsm.createData(0, {.label = "EOICert", .value = stored});
  }

  void logIn() {
    ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(proxyModule())));
    ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  }

  std::string signOk(std::u16string_view message) {
    const auto out = control.FEDIMessageSign(message);
    EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
    EXPECT_TRUE(out.has_value());
    return out ? narrow(*out) : std::string();
  }

  // linkwayCertificateBag issues the holder's certificate for the token's key.
  ca::BagPtr linkwayCertificateBag() {
    const ca::KeyPtr authority = ca::generateRsaKey(1024);
    ca::CertificateSpec spec;
    spec.serial = 1234567890;
    spec.issuer = {"FEDI Test CA", "TESTCA1"};
    spec.subject = {"ORG01", "U001"};
    spec.notBefore = ca::FediTime::utcText("240101000000Z");
    spec.notAfter = ca::FediTime::utcText("999999999999Z");
    spec.subjectKey = ca::RsaPublicParts{hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS),
                                         hsm.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT)};
    ca::CertificatePtr certificate = ca::issueCertificate(spec, authority.get());
    if (!certificate) return nullptr;
    FEDI_X509* const certificates[] = {certificate.get()};
    return ca::makeBag(certificates);
  }

  SoftHsm hsm;
  TVFEDIMiniKeyCrypt control;
  ca::BagPtr bag_;
  SigningTime signingTime_;
};

TEST_F(EdifactSignTest, WorkedInvoiceIsSignedWithTheTokensKey) {
  logIn();
  const std::string out = signOk(kInvoice);
  ASSERT_EQ(kSignedInvoiceHead, out.substr(0, kSignedInvoiceHead.size()));
  ASSERT_EQ(kSignedInvoiceTail, out.substr(out.size() - kSignedInvoiceTail.size()));
  const std::string signature = signatureOf(out);
  EXPECT_EQ(128u, signature.size());  // a 512-bit key
  EXPECT_EQ(std::string::npos, signature.find_first_not_of("0123456789ABCDEF"));

  const KeyPtr key = tokenPublicKey(hsm, "FEDICA.pubkey");
  EXPECT_TRUE(opensslVerifies(key.get(), EVP_md5(), kSignedRange, signature));

  edifact::VerifyReport report;
  EXPECT_EQ(edifact::VerifyStatus::ok, edifact::verifyEdifactMessage(out, bag_.get(), report))
      << report.message;
  EXPECT_EQ("1234567890", report.signer);
  EXPECT_EQ(9, report.segments);
}

TEST_F(EdifactSignTest, SigningTheSignedMessageAgainKeepsItsShape) {
  logIn();
  const std::string once = signOk(kInvoice);
  const std::string twice = signOk(std::u16string(once.begin(), once.end()));
  EXPECT_EQ(kSignedInvoiceHead, twice.substr(0, kSignedInvoiceHead.size()));
  EXPECT_EQ(kSignedInvoiceTail, twice.substr(twice.size() - kSignedInvoiceTail.size()));
  // PKCS #1 v1.5 is deterministic: the same bytes give the same signature.
  EXPECT_EQ(once, twice);
}

// Text beyond ASCII is signed as its code-page-950 bytes.
TEST_F(EdifactSignTest, ChineseTextIsSignedInBig5) {
  logIn();
  const std::u16string message = u"UNH+1+INVOIC:D:96A:UN'FTX+AAI+++\u53f0\u5317\u5e02'UNT+3+1'";
  const auto out = control.FEDIMessageSign(message);
  ASSERT_TRUE(out.has_value()) << control.getErrorCode();
  EXPECT_NE(std::u16string::npos, out->find(u"'FTX+AAI+++\u53f0\u5317\u5e02'UST+01'USR+"));
  std::string big5;
  ASSERT_TRUE(platform::toCodePage950(*out, big5));
  EXPECT_NE(std::string::npos, big5.find("FTX+AAI+++\xA5\x78\xA5\x5F\xA5\xAB'"));
  edifact::VerifyReport report;
  EXPECT_EQ(edifact::VerifyStatus::ok, edifact::verifyEdifactMessage(big5, bag_.get(), report))
      << report.message;
}

// The signed text comes back as the signed bytes convert back as a whole, though the parts kept
// from the message are taken from it instead. Random messages mix segments, Big5, characters
// Big5 lacks (they come back as '?'), surrogate pairs, a Big5 character whose second byte is the
// U of a tag, zeros and lone surrogates, around and inside the body; the bytes are signed here
// again with the answer's own signature, the same time and the same identity.
TEST_F(EdifactSignTest, SignedTextIsTheSignedBytesConvertedBack) {
  logIn();
  const std::u16string ascii[] = {u"FTX+AAI+++O?'NEIL SUPPLY?: NET 30'", u"QTY+47:12:PCE'",
                                  u"MOA+203:1248.50'", std::u16string(100, u'A'), u"?'"};
  const std::u16string other[] = {u"\u4E2D\u6587'", u"\uAC00", u"\U0001F600", u"\u4E0BNT+3+1'",
                                  u"\u4E0BSH+",     u"\u0080", u"UNT+4+1'"};
  // These end the text, refuse it, or make it a signed message without its header group.
  const std::u16string rare[] = {std::u16string(1, u'\0'), std::u16string(1, char16_t{0xD800}),
                                 u"USH+", u"\u4E0BSH+"};
  std::mt19937 random(7);
  int signedCount = 0;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    std::u16string message;
    const auto add = [&](unsigned count, unsigned otherOneIn) {
      for (unsigned i = 0; i < count; ++i) {
        if (random() % otherOneIn == 0) {
          message += other[random() % std::size(other)];
        } else {
          message += ascii[random() % std::size(ascii)];
        }
      }
    };
    add(random() % 3, 2);
    message += u"UNH+1+INVOIC:D:96A:UN'";
    add(random() % 60, round % 2 == 0 ? 40 : 3);
    message += u"UNT+3+1'";
    add(random() % 3, 2);
    if (random() % 8 == 0) {
      message.insert(random() % (message.size() + 1), rare[random() % std::size(rare)]);
    }

    const auto out = control.FEDIMessageSign(message);
    const std::int32_t code = control.getErrorCode();
    std::string bytes;
    if (control::textToCodePage950(message, bytes) != +ControlCode::kOk) {
      EXPECT_FALSE(out.has_value());
      EXPECT_EQ(+ControlCode::kBadText, code);
      continue;
    }
    std::string signature = "00";
    if (out) {
      // Not "UST+": the U may be the second byte of a Big5 character that takes it back.
      const std::size_t at = out->rfind(u"ST+01'USR+");
      ASSERT_NE(std::u16string::npos, at);
      const std::size_t begin = at + 10;
      const std::u16string hex = out->substr(begin, out->find(u'\'', begin) - begin);
      signature.assign(hex.begin(), hex.end());
    }
    edifact::EnvelopeSigning how;
    how.keyType = 0;
    how.signedAt = {2024, 1, 2, 3, 4, 5};
    how.readIdentity = [](edifact::SignerIdentity& identity) {
      identity = {"1234567890", "U001", "ORG01"};
      return +ControlCode::kOk;
    };
    how.sign = [&](std::string_view, std::string& hex) {
      hex = signature;
      return +ControlCode::kOk;
    };
    const std::int32_t signedCode = edifact::signEdifactMessage(bytes, how);
    ASSERT_EQ(signedCode, code);
    if (signedCode != +ControlCode::kOk) {
      EXPECT_FALSE(out.has_value());
      continue;
    }
    ASSERT_TRUE(out.has_value());
    std::u16string want;
    ASSERT_EQ(+ControlCode::kOk, control::textFromCodePage950(bytes, want));
    EXPECT_EQ(want, *out);
    ++signedCount;
  }
  EXPECT_GT(signedCount, 60);
}

TEST_F(EdifactSignTest, RefusalsReturnNoTextAndLeaveTheTokenAlone) {
  std::vector<std::string> before = hsm.labels(0);
  std::sort(before.begin(), before.end());

  // Before checkPassword.
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(proxyModule())));
  EXPECT_FALSE(control.FEDIMessageSign(kInvoice).has_value());
  EXPECT_EQ(+ControlCode::kPinNotVerified, control.getErrorCode());

  logIn();
  const std::u16string bad[] = {u"",
                                u"UNH+1'",
                                u"UNH+1+INVOIC'BGM+380+1'UNT+3+1'",
                                u"UNH+1+A:B'BGM+380+1'",
                                u"UNH+1+A:B?'BGM+1?'UNT+3+1?'",
                                u"UNH+1+A:B'USH+1'USA+1'BGM+1'UST+01'UNT+5+1'"};
  for (const std::u16string& message : bad) {
    SCOPED_TRACE(std::string(message.begin(), message.end()));
    resetProxyCalls();
    EXPECT_FALSE(control.FEDIMessageSign(message).has_value());
    EXPECT_EQ(+ControlCode::kEncodeFailed, control.getErrorCode());
    EXPECT_EQ(0u, proxyCalls("C_Sign"));
  }

  // A text that code page 950 can't take in.
  const std::u16string loneSurrogate = u"UNH+1+A:B'\xD800'UNT+3+1'";
  EXPECT_FALSE(control.FEDIMessageSign(loneSurrogate).has_value());
  EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());

  // The token doesn't sign.
  setProxyFaults("C_Sign=0x6");
  EXPECT_FALSE(control.FEDIMessageSign(kInvoice).has_value());
  EXPECT_EQ(+ControlCode::kNoSignature, control.getErrorCode());
  setProxyFaults("");

  control.close();
  std::vector<std::string> after = hsm.labels(0);
  std::sort(after.begin(), after.end());
  EXPECT_EQ(before, after);
}

TEST_F(EdifactSignTest, AnIdentityThatCantBeReadIsCode12) {
  logIn();
  // The token's identifiers can't be read.
  setProxyFaults("C_GetAttributeValue=0x5");
  EXPECT_FALSE(control.FEDIMessageSign(kInvoice).has_value());
  EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());
  setProxyFaults("");

  // A freshly made card has no certificate yet, so no CSN.
  ASSERT_EQ(+ControlCode::kOk, control.makeCard(u"U001", u"ORG01"));
  resetProxyCalls();
  EXPECT_FALSE(control.FEDIMessageSign(kInvoice).has_value());
  EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());
  EXPECT_EQ(0u, proxyCalls("C_Sign"));
}

// A ZRML token: SHA-1, its own USA segment, and an issuer organisation of 40 characters split
// 35 / 5 in USC after the certificate's serial number in hexadecimal.
TEST(EdifactSignZrml, SignsWithSha1AndTheLongOrganisationSplit) {
  SoftHsm hsm;
  const std::string organisation = "Zhongruan Reliable Message Laboratories.";
  ASSERT_EQ(40u, organisation.size());
  layOutZrml(hsm, {.label = "ZRML card",
                   .commonName = "U001",
                   .issuerOrganisation = organisation,
                   .serial = 0x0A});
  const SigningTime signingTime;
  TVFEDIMiniKeyCrypt control;
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(softHsmModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
  const auto out = control.FEDIMessageSign(kInvoice);
  ASSERT_TRUE(out.has_value()) << control.getErrorCode();
  const std::string text = narrow(*out);
  const std::string head =
      "UNH+1+INVOIC:D:96A:UN'USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::8:1'"
      "USC+0A+3:::::Zhongruan Reliable Message Laborato:ries.:U001'USA+6:::10:1'BGM+380+1'";
  ASSERT_EQ(head, text.substr(0, head.size()));
  EXPECT_EQ("'UNT+9+1'", text.substr(text.size() - 9));

  const KeyPtr key = tokenPublicKey(hsm, std::string("ZRML card") + kZrmlPublicSuffix);
  const std::size_t usr = text.find("USR+") + 4;
  const std::string signature = text.substr(usr, text.find('\'', usr) - usr);
  EXPECT_TRUE(opensslVerifies(key.get(), EVP_sha1(), head.substr(head.find("USH+")), signature));
  edifact::VerifyReport report;
  EXPECT_EQ(edifact::VerifyStatus::ok, edifact::verifyEdifactMessage(text, key.get(), report))
      << report.message;
  EXPECT_EQ("SHA-1", report.algorithm);
}

}  // namespace
}  // namespace kestrune::testing
