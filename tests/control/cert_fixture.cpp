#include "tests/control/cert_fixture.h"

#include <openssl/evp.h>

#include <fstream>
#include <iterator>

#include "FEDIX509/builtin_ca_records.h"
#include "platform/platform.h"
#include "tests/ca/test_authority.h"
#include "tests/control/control_test_support.h"

namespace kestrune::testing {

std::time_t utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

std::string base64(const Bytes& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

Bytes withZero(Bytes bytes) {
  bytes.push_back(0);
  return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CertTokenTest::SetUp() {
  hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  tokenKey_.modulus = hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS);
  tokenKey_.exponent = hsm.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT);
  ASSERT_FALSE(tokenKey_.modulus.empty());
  ASSERT_NE(nullptr, ca::test::testCaKey());
  setNow(kNow);
  control.setTestVersion(1);
  ASSERT_EQ(+ControlCode::kOk, control.loadLib(u16(proxyModule())));
  ASSERT_EQ(+ControlCode::kOk, control.checkPassword(u16(kUserPin)));
}

void CertTokenTest::TearDown() {
  setProxyFaults("");
  platform::setClock({});
}

void CertTokenTest::setNow(std::time_t now) {
  now_ = now;
  platform::setClock([this] { return static_cast<std::int64_t>(now_); });
}

ca::CertificatePtr CertTokenTest::issue(const ca::FediTime& notBefore, const ca::FediTime& notAfter,
                                        SubjectKey subjectKey, EVP_PKEY* signer) {
  ca::CertificateSpec spec;
  spec.serial = ++serial_;
  spec.issuer = {fedi::kTestCasid2, fedi::kTestCasid1};
  spec.subject = {"12345678", "TESTUSER01"};
  spec.notBefore = notBefore;
  spec.notAfter = notAfter;
  spec.subjectKey =
      std::holds_alternative<std::monostate>(subjectKey) ? SubjectKey(tokenKey_) : subjectKey;
  ca::Status status = ca::Status::ok;
  auto certificate =
      ca::issueCertificate(spec, signer != nullptr ? signer : ca::test::testCaKey(), &status);
  EXPECT_TRUE(certificate) << "issue failed: " << static_cast<int>(status);
  return certificate;
}

Bytes CertTokenTest::bag(std::vector<FEDI_X509*> certificates) {
  const auto made = ca::makeBag(certificates, ca::kCertificateBagType, ca::FediTime(now_));
  EXPECT_TRUE(made);
  return made ? ca::toDer(*made) : Bytes{};
}

Bytes CertTokenTest::tokenCertBag(std::time_t notBefore, std::time_t notAfter) {
  const auto certificate = issue(notBefore, notAfter);
  return bag({certificate.get()});
}

Bytes CertTokenTest::caBag() {
  const auto certificate = ca::issueCertificate(ca::test::authoritySpec(), ca::test::testCaKey());
  EXPECT_TRUE(certificate);
  return bag({certificate.get()});
}

void CertTokenTest::loadCa() {
  ASSERT_EQ(+ControlCode::kOk, control.loadCACertB64(u16(base64(caBag()))));
}

Bytes CertTokenTest::value(std::string_view label) {
  return hsm.attribute(0, label, CKA_VALUE);
}

bool CertTokenTest::has(std::string_view label) {
  for (const auto& present : hsm.labels(0)) {
    if (present == label) return true;
  }
  return false;
}

EVP_PKEY* CertTokenTest::stranger() {
  static const ca::KeyPtr key = ca::generateRsaKey(1024);
  return key.get();
}

}  // namespace kestrune::testing
