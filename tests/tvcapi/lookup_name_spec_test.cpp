// The name-specification matchers, serial lists and hexadecimal items against certificates
// made with OpenSSL.
#include <gtest/gtest.h>

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "cert_maker.h"

#include <string>

#include "TVCAPI/name_spec.h"
#include "TVCAPI/tvcapi.h"

namespace {

using kestrune::test::CertSpec;
using kestrune::test::kEncoding;

struct Context {
  explicit Context(const CertSpec& spec) : der(kestrune::test::makeCert(spec)) {
    cert = CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
  }
  ~Context() { CertFreeCertificateContext(cert); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  kestrune::test::Bytes der;
  PCCERT_CONTEXT cert;
};

CertSpec aliceSpec() {
  CertSpec spec;
  spec.subject = {{"2.5.4.10", V_ASN1_PRINTABLESTRING, "Bank"},
                  {"2.5.4.3", V_ASN1_UTF8STRING, "Alice"}};
  spec.issuer = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Root CA"}};
  spec.serial = 0x0A1B;
  return spec;
}

TEST(NameSpecTest, SubjectAndIssuerLines) {
  Context alice(aliceSpec());
  ASSERT_NE(alice.cert, nullptr);
  struct Case {
    const char* spec;
    std::uint32_t flags;
    NameSide side;
    std::int32_t want;
  };
  const Case kCases[] = {
      {"CN=Alice", 0, NameSide::subject, 0},
      {"CN=Alice\nO=Bank", 0, NameSide::subject, 0},
      {"CN=Alice\nO=Other", 0, NameSide::subject, 5014},
      {"cn=Alice", 0, NameSide::subject, 5045},
      {"=Alice", 0, NameSide::subject, -1},
      {"  =Alice", 0, NameSide::subject, -1},
      {"CN=Alice\nno equals sign", 0, NameSide::subject, 5045},
      {"CN=Alice\nno equals sign\n \n", 0, NameSide::subject, 5045},
      {"no equals sign\nCN=Alice", 0, NameSide::subject, 0},
      {"CN=  Alice  \r", 0, NameSide::subject, 0},
      {"  CN =Alice", 0, NameSide::subject, 0},
      {"CN=\tAlice", 0, NameSide::subject, 5014},  // subjects lose only spaces before the value
      {"CN=lic", 0, NameSide::subject, 5014},
      {"CN=lic", 0x80000, NameSide::subject, 0},
      {"CN=Bob", 0x80000, NameSide::subject, 5014},
      {"   \n  ", 0, NameSide::subject, 0},
      {"", 0, NameSide::subject, 0},
      {"XX=1", 0, NameSide::subject, 5045},
      {"SN=0A1B", 0, NameSide::subject, 0},
      {"SN=a1b", 0, NameSide::subject, 0},
      {"SN=12;0A1B", 0, NameSide::subject, 0},
      {"SN=12; 0a1b ", 0, NameSide::issuer, 0},
      {"SN=0G", 0, NameSide::subject, 5014},
      {"SN!=0A1B", 0, NameSide::subject, 5014},
      {"SN!=0A1C", 0, NameSide::subject, 0},
      {"CN=Root CA", 0, NameSide::issuer, 0},
      {"CN=\t Root CA \r\n", 0, NameSide::issuer, 0},
      {"CN=Root CA 2", 0, NameSide::issuer, 5014},
      {"CN=Root CA 2", 0x80000, NameSide::issuer, 0},
      {"CN=Root", 0x80000, NameSide::issuer, 5014},
      {"E=ca@example.org", 0, NameSide::issuer, 5014},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(c.want, tvxCAPIValidateCertName(alice.cert, c.spec, c.flags, c.side));
  }
  const std::string longLine = "CN=" + std::string(1021, 'A');
  EXPECT_EQ(5003, tvxCAPIValidateCertSubjectA(alice.cert, longLine.c_str(), 0));
  EXPECT_EQ(5014, tvxCAPIValidateCertSubjectA(alice.cert, longLine.substr(0, 1023).c_str(), 0));
}

TEST(NameSpecTest, IssuerListTriesEveryAlternative) {
  Context alice(aliceSpec());
  EXPECT_EQ(0, tvxCAPIValidateCertIssuerList(alice.cert, "CN=Other\tCN=Root CA", 0));
  EXPECT_EQ(5014, tvxCAPIValidateCertIssuerList(alice.cert, "CN=Other\tCN=Root", 0));
  EXPECT_EQ(5014, tvxCAPIValidateCertIssuerList(alice.cert, "cn=Root CA", 0));
  EXPECT_EQ(5014, tvxCAPIValidateCertIssuerList(alice.cert, "\t\t", 0));
}

TEST(NameSpecTest, SerialWithLeadingZeroByte) {
  CertSpec spec = aliceSpec();
  spec.serial = 0xFF;  // encoded as the two bytes 00 FF
  Context cert(spec);
  for (const char* line : {"SN=00FF", "SN=FF", "SN=ff", "SN=0FF", "SN=1;FF"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(0, tvxCAPIValidateCertSubjectA(cert.cert, line, 0));
  }
  for (const char* line : {"SN=100FF", "SN=0000FF", "SN=", "SN= ; ", "SN=FF00"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(5014, tvxCAPIValidateCertSubjectA(cert.cert, line, 0));
  }
}

TEST(NameSpecTest, HexItems) {
  struct Case {
    const char* hex;
    bool ok;
    std::vector<BYTE> bytes;
  };
  const Case kCases[] = {
      {"0A1B", true, {0x0A, 0x1B}},
      {"a1b", true, {0x0A, 0x1B}},
      {"F", true, {0x0F}},
      {"00ff", true, {0x00, 0xFF}},
      {"0G", false, {}},
      {"", false, {}},
      {" 1", false, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.hex);
    BYTE out[8];
    std::size_t count = 0;
    EXPECT_EQ(c.ok, tvxCAPIHexToBytes(c.hex, out, sizeof out, count));
    if (c.ok) {
      EXPECT_EQ(c.bytes, std::vector<BYTE>(out, out + count));
    }
  }
  const std::string tooLong(2 * kSerialItemLimit + 1, '1');
  std::vector<BYTE> out(kSerialItemLimit);
  std::size_t count = 0;
  EXPECT_FALSE(tvxCAPIHexToBytes(tooLong, out.data(), out.size(), count));
  EXPECT_TRUE(tvxCAPIHexToBytes(tooLong.substr(1), out.data(), out.size(), count));
  EXPECT_EQ(kSerialItemLimit, count);
}

// Two specifications split in turn: each keeps its own position.
TEST(NameSpecTest, SplittersShareNoState) {
  const std::string_view first = "\tCN=A\t\tCN=B\t";
  const std::string_view second = "O=X\tO=Y";
  std::size_t p1 = 0, p2 = 0;
  std::string_view a, b;
  std::vector<std::string> seen;
  while (true) {
    const bool more1 = tvxCAPINextAlternative(first, p1, a);
    const bool more2 = tvxCAPINextAlternative(second, p2, b);
    if (more1) seen.emplace_back(a);
    if (more2) seen.emplace_back(b);
    if (!more1 && !more2) break;
  }
  EXPECT_EQ((std::vector<std::string>{"CN=A", "O=X", "CN=B", "O=Y"}), seen);
}

TEST(NameSpecTest, Big5ValuesAgainstWideAttributes) {
  CertSpec spec;
  spec.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e"},
                  {"2.5.4.11", V_ASN1_BMPSTRING, "\xe7\x8e\x8b"}};
  Context cert(spec);
  EXPECT_EQ(0, tvxCAPIValidateCertSubjectA(cert.cert, "CN=\xa4\xfd\xa4\x70\xa9\xfa", 0));
  EXPECT_EQ(0, tvxCAPIValidateCertSubjectA(cert.cert, "CN=\xa4\x70", 0x80000));
  EXPECT_EQ(0, tvxCAPIValidateCertSubjectA(cert.cert, "OU=\xa4\xfd", 0));
  EXPECT_EQ(5014, tvxCAPIValidateCertSubjectA(cert.cert, "CN=\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e",
                                              0));  // UTF-8 bytes
}

// A value of 256 bytes or more never matches, and never overruns the comparison buffer.
TEST(NameSpecTest, LongAttributeValuesMatchNothing) {
  for (int type : {V_ASN1_UTF8STRING, V_ASN1_PRINTABLESTRING}) {
    SCOPED_TRACE(type);
    CertSpec spec;
    spec.subject = {{"2.5.4.3", type, std::string(300, 'A')}};
    Context cert(spec);
    ASSERT_NE(cert.cert, nullptr);
    EXPECT_EQ(5014,
              tvxCAPIValidateCertSubjectA(cert.cert, ("CN=" + std::string(300, 'A')).c_str(), 0));
    EXPECT_EQ(5014, tvxCAPIValidateCertSubjectA(cert.cert, "CN=A", 0x80000));
    CertSpec edge;
    edge.subject = {{"2.5.4.3", type, std::string(255, 'B')}};
    Context fits(edge);
    EXPECT_EQ(0,
              tvxCAPIValidateCertSubjectA(fits.cert, ("CN=" + std::string(255, 'B')).c_str(), 0));
  }
}

}  // namespace
