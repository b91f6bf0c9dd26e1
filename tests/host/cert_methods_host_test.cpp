// The kestrune host drives the certificate methods against a token: one script loads
// the CA's and the user's certificates, parks a renewal, reads everything back, and replaces
// the certificate from a bundle.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/issuing.h"
#include "tests/ca/test_authority.h"
#include "tests/host/host_runner.h"
#include "tests/host/token_modules.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

constexpr std::time_t kDay = 86400;

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
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// utcText formats a time as UTC digits with strftime.
std::string utcText(std::time_t t, const char* format) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::string upperHex(const Bytes& bigEndian) {
  BIGNUM* number = BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr);
  char* hex = BN_bn2hex(number);
  std::string text(hex);
  OPENSSL_free(hex);
  BN_free(number);
  return text;
}

// Issues certificates of the test authority and bags them.
class Issuer {
 public:
  explicit Issuer(ca::RsaPublicParts tokenKey) : tokenKey_(std::move(tokenKey)) {}

  ca::CertificatePtr issue(std::time_t notBefore, std::time_t notAfter,
                           decltype(ca::CertificateSpec::subjectKey) key) {
    ca::CertificateSpec spec;
    spec.serial = ++serial_;
    spec.issuer = {fedi::kTestCasid2, fedi::kTestCasid1};
    spec.subject = {"12345678", "TESTUSER01"};
    spec.notBefore = ca::FediTime(notBefore);
    spec.notAfter = ca::FediTime(notAfter);
    spec.subjectKey = std::move(key);
    auto certificate = ca::issueCertificate(spec, ca::test::testCaKey());
    EXPECT_TRUE(certificate);
    return certificate;
  }
  ca::CertificatePtr forToken(std::time_t notBefore, std::time_t notAfter) {
    return issue(notBefore, notAfter, tokenKey_);
  }
  static Bytes bag(std::vector<FEDI_X509*> certificates) {
    const auto made = ca::makeBag(certificates);
    EXPECT_TRUE(made);
    return made ? ca::toDer(*made) : Bytes{};
  }

 private:
  ca::RsaPublicParts tokenKey_;
  std::uint64_t serial_ = 500;
};

class CertMethodsHost : public ModuleHostTest {};
KESTRUNE_ON_EVERY_MODULE(CertMethodsHost);

TEST_P(CertMethodsHost, ScriptStoresAndReadsCertificates) {
  TestToken& hsm = token();
  hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  const Bytes modulus = hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS);
  Issuer issuer({modulus, hsm.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT)});
  ASSERT_NE(nullptr, ca::test::testCaKey());

  // The authority's own certificate.
  ca::CertificateSpec caSpec;
  caSpec.serial = 1;
  caSpec.issuer = {fedi::kTestCasid2, fedi::kTestCasid1};
  caSpec.subject = caSpec.issuer;
  caSpec.notBefore = ca::FediTime::utcText("961122000000+0800");
  caSpec.notAfter = ca::FediTime::utcText("999999999999Z");
  caSpec.subjectKey = ca::test::testCaKey();
  const auto caCertificate = ca::issueCertificate(caSpec, ca::test::testCaKey());
  ASSERT_TRUE(caCertificate);
  const Bytes caBag = Issuer::bag({caCertificate.get()});

  // Whole seconds: the host reads the clock itself.
  const std::time_t now = std::time(nullptr);
  const std::time_t currentFrom = now - kDay, currentTo = now + 30 * kDay;
  const auto current = issuer.forToken(currentFrom, currentTo);
  const auto renewal = issuer.forToken(now + 20 * kDay, now + 400 * kDay);
  const std::time_t bundledFrom = now - 3600;
  const auto bundled = issuer.forToken(bundledFrom, now + 200 * kDay);
  const auto strangers = issuer.issue(now - kDay, now + kDay, ca::test::holderKey());
  const Bytes currentBag = Issuer::bag({current.get()});
  const Bytes renewalBag = Issuer::bag({renewal.get()});
  const Bytes bundle = Issuer::bag({strangers.get(), bundled.get()});

  const std::string& dir = this->dir();
  writeFile(dir + "/ca.der", caBag);
  writeFile(dir + "/current.cer", currentBag);
  const std::vector<Json> calls = {
      Json::array({"loadLib", module()}),
      Json::array({"checkPassword", kUserPin}),
      Json::array({"setTestVersion", 1}),
      Json::array({"loadCACertB64", base64(caBag)}),
      Json::array({"loadCACert", dir + "/ca.der"}),
      Json::array({"loadCert", dir + "/current.cer"}),
      Json::array({"loadCertB64", base64(renewalBag)}),
      Json::array({"getCert", dir + "/out.cer"}),
      Json::array({"getNewCert", dir + "/out-new.cer"}),
      Json::array({"getCertB64"}),
      Json::array({"getNewCertB64"}),
      Json::array({"getBeginDate"}),
      Json::array({"getEndDate"}),
      Json::array({"getBeginDateTime"}),
      Json::array({"getEndDateTime"}),
      Json::array({"getCertNotBefore", 0}),
      Json::array({"getCertNotAfter", 1}),
      Json::array({"getCModulus"}),
      Json::array({"getCPublicExponent"}),
      Json::array({"getCASID1"}),
      Json::array({"getCASID2"}),
      Json::array({"loadMultiCertB64", base64(bundle)}),
      Json::array({"getBeginDateTime"}),
      Json::array({"getNewCertB64"}),
  };
  std::string script;
  for (const Json& call : calls) script += call.dump() + "\n";

  const HostRun run = runHost({"script", "-"}, script, {{"TZ", "Asia/Taipei"}});
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<Json> answers;
  for (const std::string& line : lines(run.out)) answers.push_back(Json::parse(line));
  ASSERT_EQ(calls.size(), answers.size()) << run.out;

  const auto ok = [](const char* method, Json result) {
    Json answer = {{"method", method}, {"lastError", 0}};
    if (!result.is_discarded()) answer["result"] = std::move(result);
    return answer;
  };
  const Json none(Json::value_t::discarded);
  const std::vector<Json> expected = {
      ok("loadLib", 0),
      ok("checkPassword", 0),
      ok("setTestVersion", none),
      ok("loadCACertB64", 0),
      ok("loadCACert", 0),
      ok("loadCert", 0),
      ok("loadCertB64", 0),
      ok("getCert", 0),
      ok("getNewCert", 0),
      ok("getCertB64", "(Base64 of the current bag)"),
      ok("getNewCertB64", "(Base64 of the renewal)"),
      ok("getBeginDate", utcText(currentFrom, "%Y%m%d")),
      ok("getEndDate", utcText(currentTo, "%Y%m%d")),
      ok("getBeginDateTime", utcText(currentFrom, "%Y%m%d%H%M%S")),
      ok("getEndDateTime", utcText(currentTo, "%Y%m%d%H%M%S")),
      ok("getCertNotBefore", utcText(currentFrom, "%Y%m%d%H%M%SZ")),
      ok("getCertNotAfter", utcText(currentTo + 8 * 3600, "%Y%m%d%H%M%S+0800")),
      ok("getCModulus", upperHex(modulus)),
      ok("getCPublicExponent", "010001"),
      ok("getCASID1", fedi::kTestCasid1),
      ok("getCASID2", fedi::kTestCasid2),
      ok("loadMultiCertB64", 0),
      ok("getBeginDateTime", utcText(bundledFrom, "%Y%m%d%H%M%S")),
      ok("getNewCertB64", "(Base64 of the renewal)"),
  };
  // The Base64 texts are compared without their line feeds.
  const std::vector<std::pair<std::size_t, Bytes>> base64Answers = {
      {9, withZero(currentBag)}, {10, withZero(renewalBag)}, {23, withZero(renewalBag)}};
  for (const auto& [index, stored] : base64Answers) {
    std::string text = answers[index].value("result", std::string());
    std::erase(text, '\n');
    EXPECT_EQ(base64(stored), text) << "answer " << index;
    answers[index]["result"] = expected[index]["result"];
  }
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(expected[i], answers[i]) << "call " << calls[i].dump().substr(0, 80);
  }
  EXPECT_EQ(withZero(currentBag), readFile(dir + "/out.cer"));
  EXPECT_EQ(withZero(renewalBag), readFile(dir + "/out-new.cer"));
}

}  // namespace
}  // namespace kestrune::testing
