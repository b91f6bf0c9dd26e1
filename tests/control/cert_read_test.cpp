// Reading the stored certificate back: the file and Base64 forms, validity dates, the key's
// modulus and exponent, the authority's identifiers, and the ZRML certificate object.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FEDIX509/builtin_ca_records.h"
#include "common/ptr.h"
#include "tests/control/cert_fixture.h"
#include "tests/control/control_test_support.h"

namespace kestrune::testing {
namespace {

using Text = std::optional<std::u16string>;

std::string upperHex(const Bytes& bigEndian) {
  Ptr<BIGNUM> number(BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr));
  char* hex = BN_bn2hex(number.get());
  std::string text(hex);
  OPENSSL_free(hex);
  return text;
}

// asnTimeText renders an ASN.1 time with OpenSSL's own reading of it.
std::string asnTimeText(const ASN1_TIME* time, const char* format) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "unreadable";
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

class CertReadTest : public CertTokenTest {
 protected:
  void SetUp() override {
    CertTokenTest::SetUp();
    setenv("TZ", "Asia/Taipei", 1);
    tzset();
    loadCa();
  }
  // storeOne stores a certificate for the token's key valid over the given UTC times.
  void storeOne(std::time_t notBefore, std::time_t notAfter) {
    ASSERT_EQ(+ControlCode::kOk,
              control.loadCertB64(u16(base64(tokenCertBag(notBefore, notAfter)))));
  }
};

TEST_F(CertReadTest, GetCertWritesTheValueTheTokenHolds) {
  storeOne(utc(2030, 1, 2), utc(2031, 1, 2));
  const std::string path = hsm.dir() + "/user.cer";
  EXPECT_EQ(+ControlCode::kOk, control.getCert(u16(path)));
  const Bytes written = readFile(path);
  EXPECT_EQ(value("EOICert"), written);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(0, written.back());

  // Without the token layer's zero byte the file is the bag's DER.
  const std::string der = hsm.dir() + "/user.der";
  writeFile(der, Bytes(written.begin(), written.end() - 1));
  const CommandResult parsed = runCommand("openssl asn1parse -inform DER -in " + der);
  EXPECT_EQ(0, parsed.status) << parsed.out;
  EXPECT_NE(std::string::npos, parsed.out.find("CeRtIfIc")) << parsed.out;
  EXPECT_NE(std::string::npos, parsed.out.find("md5WithRSAEncryption")) << parsed.out;

  EXPECT_EQ(+ControlCode::kFileOpenFailed,
            control.getCert(u16(hsm.dir() + "/no/such/folder/user.cer")));
  EXPECT_EQ(+ControlCode::kReadFailed, control.getNewCert(u16(hsm.dir() + "/new.cer")));
  EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());
}

TEST_F(CertReadTest, DatesInEveryForm) {
  // The notAfter lies past 2049, so it is written as a GeneralizedTime.
  storeOne(utc(2030, 1, 2, 3, 4, 5), utc(2050, 12, 31, 23, 59, 59));
  struct Case {
    const char* method;
    std::function<Text()> call;
    const char16_t* want;
  };
  const Case cases[] = {
      {"getBeginDate", [&] { return control.getBeginDate(); }, u"20300102"},
      {"getEndDate", [&] { return control.getEndDate(); }, u"20501231"},
      {"getBeginDateTime", [&] { return control.getBeginDateTime(); }, u"20300102030405"},
      {"getEndDateTime", [&] { return control.getEndDateTime(); }, u"20501231235959"},
      {"getCertNotBefore(0)", [&] { return control.getCertNotBefore(0); }, u"20300102030405Z"},
      {"getCertNotAfter(0)", [&] { return control.getCertNotAfter(0); }, u"20501231235959Z"},
      {"getCertNotBefore(2)", [&] { return control.getCertNotBefore(2); }, u"20300102030405Z"},
      // Local time in Taipei, with its standard offset.
      {"getCertNotBefore(1)", [&] { return control.getCertNotBefore(1); }, u"20300102110405+0800"},
      {"getCertNotAfter(1)", [&] { return control.getCertNotAfter(1); }, u"20510101075959+0800"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(Text(c.want), c.call());
    EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  }
}

TEST_F(CertReadTest, KeyAndAuthorityOfTheStoredCertificate) {
  storeOne(utc(2030, 1, 2), utc(2031, 1, 2));
  EXPECT_EQ(Text(u16(upperHex(tokenKey().modulus))), control.getCModulus());
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  EXPECT_EQ(Text(u"010001"), control.getCPublicExponent());
  EXPECT_EQ(Text(u16(fedi::kTestCasid1)), control.getCASID1());
  EXPECT_EQ(Text(u16(fedi::kTestCasid2)), control.getCASID2());
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

TEST_F(CertReadTest, WithoutAReadableCertificateNoTextComesBack) {
  struct Case {
    const char* method;
    std::function<Text()> call;
  };
  const Case readers[] = {
      {"getCertB64", [&] { return control.getCertB64(); }},
      {"getBeginDate", [&] { return control.getBeginDate(); }},
      {"getEndDate", [&] { return control.getEndDate(); }},
      {"getBeginDateTime", [&] { return control.getBeginDateTime(); }},
      {"getCertNotAfter(1)", [&] { return control.getCertNotAfter(1); }},
      {"getCModulus", [&] { return control.getCModulus(); }},
      {"getCPublicExponent", [&] { return control.getCPublicExponent(); }},
      {"getCASID1", [&] { return control.getCASID1(); }},
      {"getCASID2", [&] { return control.getCASID2(); }},
  };
  for (const auto& c : readers) {
    SCOPED_TRACE(std::string("none stored: ") + c.method);
    EXPECT_EQ(std::nullopt, c.call());
    EXPECT_EQ(+ControlCode::kReadFailed, control.getErrorCode());
  }
  SoftHsm::DataObject broken;
  broken.label = "EOICert";
  broken.value = {0x30, 0x01};
  hsm.createData(0, broken);
  for (const auto& c : readers) {
    SCOPED_TRACE(std::string("undecodable: ") + c.method);
    EXPECT_EQ(std::nullopt, c.call());
    EXPECT_EQ(+ControlCode::kUndecodable, control.getErrorCode());
  }
}

TEST_F(CertReadTest, DateTimesOfOtherTokenTypes) {
  storeOne(utc(2030, 1, 2), utc(2031, 1, 2));
  // SafeNet and TaiOne tokens hold no certificate the control reads.
  for (const std::int32_t type : {1, 2}) {
    SCOPED_TRACE(type);
    control.setTokenType(type);
    EXPECT_EQ(std::nullopt, control.getBeginDateTime());
    EXPECT_EQ(+ControlCode::kNotCompleted, control.getErrorCode());
    EXPECT_EQ(std::nullopt, control.getCertNotAfter(1));
    EXPECT_EQ(+ControlCode::kNotCompleted, control.getErrorCode());
  }

  // A ZRML token's X.509 certificate object.
  const Bytes der = selfSignedCertificate("ZRML user");
  hsm.createCertificate(0, "ZRML user", der);
  const unsigned char* position = der.data();
  Ptr<X509> x509(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
  ASSERT_TRUE(x509);
  control.setTokenType(3);
  EXPECT_EQ(Text(u16(asnTimeText(X509_get0_notBefore(x509.get()), "%Y%m%d%H%M%S"))),
            control.getBeginDateTime());
  EXPECT_EQ(Text(u16(asnTimeText(X509_get0_notAfter(x509.get()), "%Y%m%d%H%M%SZ"))),
            control.getCertNotAfter(0));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

}  // namespace
}  // namespace kestrune::testing
