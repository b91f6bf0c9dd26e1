// `kestrune demo` end to end: the executable sets up its SoftHSM2 token and its fedi-ca
// authority in a folder, takes the token through the certificate life cycle, and runs again on
// what an earlier run left there.
#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "FEDIX509/fedi_x509.h"
#include "ca/authority.h"
#include "common/ptr.h"
#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;

constexpr int kDemoSteps = 32;
// The token's line and the authority's line come before the steps.
constexpr std::size_t kHeaderLines = 2;
// How the demo's authority dates a certificate: back-dated an hour, valid for a year.
constexpr long long kBackdate = 3600;
constexpr long long kLifetime = 365LL * 24 * 3600;

// stepPrefix is how the progress line of step n begins: "[n/32] ".
std::string stepPrefix(int n) {
  return "[" + std::to_string(n) + "/" + std::to_string(kDemoSteps) + "] ";
}

// resultOf returns what a progress line shows between " ... " and " (".
std::string resultOf(const std::string& line) {
  const std::size_t start = line.find(" ... ");
  const std::size_t end = line.find(" (", start);
  if (start == std::string::npos || end == std::string::npos) return {};
  return line.substr(start + 5, end - start - 5);
}

// after returns what follows marker in text, up to the next character of `stop`.
std::string after(const std::string& text, const std::string& marker, const char* stop) {
  const std::size_t start = text.find(marker);
  if (start == std::string::npos) return {};
  const std::size_t from = start + marker.size();
  return text.substr(from, text.find_first_of(stop, from) - from);
}

// utcSeconds reads YYYYMMDDhhmmss as a UTC time; -1 when it isn't one.
long long utcSeconds(const std::string& text) {
  if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  std::tm t{};
  t.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(text.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(text.substr(6, 2));
  t.tm_hour = std::stoi(text.substr(8, 2));
  t.tm_min = std::stoi(text.substr(10, 2));
  t.tm_sec = std::stoi(text.substr(12, 2));
  return static_cast<long long>(timegm(&t));
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What one run of the demo must show of the authority's serial numbers.
struct ExpectedRun {
  const char* tokenLine;
  const char* authorityLine;
  std::string serial;   // the certificate newCertificate gets
  std::string renewal;  // the renewal extendCertificate gets
  int revokedBefore;    // serials the revocation list holds before the revocation
  int revokedAfter;     // and after it
};

// checkDemoRun checks a successful run's output line by line and returns the pass phrase it
// enrolled the holder with.
std::string checkDemoRun(const HostRun& run, const ExpectedRun& want, long long startedAt,
                         long long endedAt) {
  EXPECT_EQ(0, run.status) << run.out << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  const std::vector<std::string> shown = lines(run.out);
  // After the steps, two lines on checking the signed messages again.
  if (shown.size() != kHeaderLines + kDemoSteps + 2) {
    ADD_FAILURE() << run.out;
    return {};
  }
  EXPECT_EQ(0u, shown[0].find(want.tokenLine)) << shown[0];
  EXPECT_NE(std::string::npos, shown[0].find("user PIN 123456"));
  EXPECT_EQ(0u, shown[1].find(want.authorityLine)) << shown[1];
  const std::string url = after(shown[1], "serving ", ";");
  EXPECT_EQ(0u, url.find("http://127.0.0.1:")) << shown[1];
  EXPECT_TRUE(url.ends_with("/fedi/init")) << shown[1];
  const std::string passPhrase = after(shown[1], "pass phrase ", "\n");
  EXPECT_EQ(20u, passPhrase.size()) << shown[1];

  // step(n) is the progress line of step n.
  const auto step = [&](int n) { return shown[kHeaderLines + n - 1]; };
  for (int n = 1; n <= kDemoSteps; ++n) EXPECT_EQ(0u, step(n).find(stepPrefix(n))) << step(n);
  const std::string revoked = " revoked serials";
  const std::vector<std::pair<int, std::string>> starts = {
      {1, "loadLib " + std::string(softHsmModule()) + " ... 0 ("},
      {2, "checkPassword with a wrong PIN ... 1513 (the PIN was refused)"},
      {3, "checkPassword with the right PIN ... 0 (logged in)"},
      {4, "makeCard U001 ORG01 ... 0 ("},
      {5, "getType ... Linkway ("},
      {6, "getSID1 ... U001 ("},
      {7, "getSID2 ... ORG01 ("},
      {8, "setTestVersion 1 ... ("},
      {9, "loadCACertB64 with the authority's certificate bag ... 0 ("},
      {10, "newCertificate " + url + " with the holder's pass phrase ... 0 ("},
      {11, "getCertB64 ... MII"},
      {12, "getCSN ... " + want.serial + " (the certificate's serial number)"},
      {15, "getCASID1 ... TESTCA1 ("},
      {16, "getCASID2 ... FEDI Test Certification CA ("},
      {17, "FEDIMessageSign of a sample INVOIC message ... UNH+1+INVOIC:D:96A:UN'USH+94W+"},
      {18, "verify invoic-signed.edi with user-cert.der ... OK (MD5 signature of "},
      {19, "extendCertificate ... 0 ("},
      {20, "getNewCertB64 ... MII"},
      {21,
       "queryB64Certificate TESTCA1 \"FEDI Test Certification CA\" with the serial getCSN "
       "gave ... MII"},
      {22, "queryCRL TESTCA1 \"FEDI Test Certification CA\" ... MII"},
      {23, "revokeCertificate \"end of the demo\" ... 0 ("},
      {24, "queryCRL TESTCA1 \"FEDI Test Certification CA\" ... MII"},
      {25, "close ... (the session is closed)"},
      {26,
       "an X.509 certificate for the token's key pair from the test authority ... (issued by "
       "TESTCA1, written to csp-signer.der, on the token beside FEDICA.prikey, in My with the "
       "provider \"Kestrune Demo Card\")"},
      {27, "FEDIMessageSignWithCSP_Init CN=U001 through \"Kestrune Demo Card\" ... 0 ("},
      {28, "FEDIMessageSignWithCSP_Update of an ORDERS message ... UNH+1+ORDERS:D:96A:UN'USH+"},
      {29, "FEDIMessageSignWithCSP_Update of a second ORDERS message ... UNH+2+ORDERS"},
      {30, "getSID1 ... U001 (the signing certificate's subject CN)"},
      {31, "FEDIMessageSignWithCSP_Final ... 0 ("},
      {32, "FEDIMessageSignWithCSP of an INVOIC message, CN=U001 found in the My store ... UNH+3+"},
  };
  for (const auto& [n, start] : starts)
    EXPECT_EQ(0u, step(n).find(stepPrefix(n) + start)) << step(n);
  const std::vector<std::pair<int, std::string>> ends = {
      {11, "(the bag the authority delivered, serial " + want.serial + ")"},
      {18, " by " + want.serial + " verified; 15 segments)"},
      {20, "(the renewal, serial " + want.renewal + ", waits until the current certificate ends)"},
      {21,
       "(the authority's record of serial " + want.serial + " is the certificate on the token)"},
      {22, "(the authority's revocation list: " + std::to_string(want.revokedBefore) + revoked +
               ", " + want.serial + " not among them)"},
      {24, "(" + std::to_string(want.revokedAfter) + revoked + ", among them " + want.serial +
               " and its renewal " + want.renewal + ")"},
      {28, " verified; 12 segments)"},
      {29, " verified; 12 segments)"},
      {32, " verified; 10 segments)"},
  };
  for (const auto& [n, end] : ends) EXPECT_TRUE(step(n).ends_with(end)) << step(n);

  // Issued during the run: valid from an hour before, for a year.
  const long long begin = utcSeconds(resultOf(step(13)));
  const long long end = utcSeconds(resultOf(step(14)));
  EXPECT_LE(startedAt - kBackdate, begin) << step(13);
  EXPECT_GE(endedAt - kBackdate, begin) << step(13);
  EXPECT_EQ(begin + kBackdate + kLifetime, end) << step(14);
  EXPECT_EQ(0u, shown[shown.size() - 2].find("Done: the signed message is "));
  EXPECT_NE(std::string::npos, shown.back().find("orders-1-signed.edi --cert ")) << shown.back();
  return passPhrase;
}

HostRun timedDemo(const std::vector<std::string>& args, long long& startedAt, long long& endedAt,
                  const std::vector<EnvironmentChange>& environment = {}) {
  startedAt = static_cast<long long>(std::time(nullptr));
  HostRun run = runHost(args, {}, environment);
  endedAt = static_cast<long long>(std::time(nullptr));
  return run;
}

// The first run makes the token and the authority; the second uses both: the token is
// personalised again with a new key pair and the holder enrolled again, and the authority,
// which revoked the first run's certificate and its renewal, issues new ones.
TEST(Demo, RunsTheLifeCycleAndAgainInItsFolder) {
  TempDir dir;
  const std::string demoDir = dir.path() + "/demo";
  const ExpectedRun runs[] = {
      {"Initialised a SoftHSM2 token", "Initialised a fedi-ca authority", "2", "3", 0, 2},
      {"Using the SoftHSM2 token", "Using the fedi-ca authority", "4", "5", 2, 4},
  };
  std::vector<std::string> passPhrases;
  for (const ExpectedRun& want : runs) {
    SCOPED_TRACE(want.tokenLine);
    long long startedAt = 0;
    long long endedAt = 0;
    const HostRun run = timedDemo({"demo", "--dir", demoDir}, startedAt, endedAt);
    passPhrases.push_back(checkDemoRun(run, want, startedAt, endedAt));
  }
  EXPECT_NE(passPhrases[0], passPhrases[1]);
  EXPECT_TRUE(std::filesystem::exists(demoDir + "/softhsm2.conf"));
  EXPECT_TRUE(std::filesystem::exists(demoDir + "/authority/authority.db"));
}

// A run that stopped after the authority had issued leaves an unrevoked certificate and a
// renewal behind, for a key pair the next makeCard replaces. The next run is not disturbed.
TEST(Demo, RunsAgainAfterARunThatStoppedHoldingACertificate) {
  TempDir dir;
  const std::string demoDir = dir.path() + "/demo";
  const HostRun first = runHost({"demo", "--dir", demoDir});
  ASSERT_EQ(0, first.status) << first.out << first.err;

  // The interrupted run: a certificate (serial 4) and its renewal (5), neither revoked.
  {
    const std::string authorityDir = demoDir + "/authority";
    std::string pass;
    std::string caBag;
    std::string error;
    ASSERT_EQ(ca::AuthorityResult::ok, ca::enrolHolder(authorityDir, "U001", "ORG01", pass, &error))
        << error;
    ASSERT_EQ(ca::AuthorityResult::ok, ca::authorityBagBase64(authorityDir, caBag, &error))
        << error;
    ca::AuthorityServer server;
    ASSERT_EQ(ca::AuthorityResult::ok, server.start(authorityDir, "127.0.0.1", 0, {}, &error))
        << error;
    const std::string url = server.initiationUrl();
    const std::vector<Json> calls = {
        Json::array({"loadLib", softHsmModule()}),  Json::array({"checkPassword", "123456"}),
        Json::array({"makeCard", "U001", "ORG01"}), Json::array({"setTestVersion", 1}),
        Json::array({"loadCACertB64", caBag}),      Json::array({"newCertificate", url, pass}),
        Json::array({"extendCertificate", url}),    Json::array({"close"}),
    };
    std::string script;
    for (const Json& call : calls) script += call.dump() + "\n";
    const HostRun interrupted =
        runHost({"script"}, script,
                {{"SOFTHSM2_CONF", demoDir + "/softhsm2.conf"}, {"no_proxy", "127.0.0.1"}});
    ASSERT_EQ(0, interrupted.status) << interrupted.out << interrupted.err;
    for (const std::string& line : lines(interrupted.out)) {
      EXPECT_EQ(0, Json::parse(line, nullptr, false).value("lastError", -1)) << line;
    }
  }

  long long startedAt = 0;
  long long endedAt = 0;
  const HostRun run = timedDemo({"demo", "--dir", demoDir}, startedAt, endedAt);
  checkDemoRun(run, {"Using the SoftHSM2 token", "Using the fedi-ca authority", "6", "7", 2, 4},
               startedAt, endedAt);
}

// The authority listens on this machine only: a proxy configured for the web must not carry
// the demo's requests.
TEST(Demo, KeepsItsAuthorityOffAConfiguredProxy) {
  TempDir dir;
  // Nothing listens on the discard port: a request sent to the proxy fails to connect.
  const std::string proxy = "http://127.0.0.1:9";
  const HostRun run = runHost({"demo", "--dir", dir.path() + "/demo"}, {},
                              {{"http_proxy", proxy},
                               {"HTTP_PROXY", proxy},
                               {"no_proxy", "example.com"},
                               {"NO_PROXY", "", true}});
  EXPECT_EQ(0, run.status) << run.out << run.err;
}

// The signed message the demo leaves verifies with our verifier and, independently, with
// OpenSSL over the signed range and the certificate bag's key; and a new process signs with
// the CryptoAPI set-up it leaves.
TEST(Demo, LeavesASignedMessageThatVerifiesAndAStoreThatSigns) {
  TempDir dir;
  const std::string demoDir = dir.path() + "/demo";
  const HostRun demo = runHost({"demo", "--dir", demoDir});
  ASSERT_EQ(0, demo.status) << demo.out << demo.err;
  const std::string message = demoDir + "/invoic-signed.edi";
  const std::string bag = demoDir + "/user-cert.der";

  const HostRun verify = runHost({"verify-edifact", message, "--cert", bag});
  EXPECT_EQ(0, verify.status) << verify.out << verify.err;
  EXPECT_EQ(0u, verify.out.find("OK: MD5 signature of ")) << verify.out;

  const std::string text = fileText(message);
  EXPECT_EQ(0u, text.find("UNH+1+INVOIC:D:96A:UN'USH+94W+1+01+1+2+2+2+1++++1:")) << text;
  // The certificate the authority issued first: serial 2, after its own.
  EXPECT_NE(std::string::npos, text.find("'USC+2+3:::::U001:ORG01'")) << text;
  EXPECT_TRUE(text.ends_with("'UNT+15+1'")) << text;
  const std::size_t signedStart = text.find("USH+");
  const std::size_t signedEnd = text.find("UST+");
  const std::size_t hexStart = text.find("USR+") + 4;
  const std::size_t hexEnd = text.find('\'', hexStart);
  ASSERT_NE(std::string::npos, signedEnd);
  ASSERT_NE(std::string::npos, hexEnd);
  long signatureLength = 0;
  const Ptr<unsigned char> signature(
      OPENSSL_hexstr2buf(text.substr(hexStart, hexEnd - hexStart).c_str(), &signatureLength));
  ASSERT_NE(nullptr, signature);
  EXPECT_EQ(64, signatureLength);

  const std::string der = fileText(bag);
  const auto* position = reinterpret_cast<const unsigned char*>(der.data());
  const fedi::RecordPtr<FEDICERT> decoded(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(der.size())));
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(der.data() + der.size(), reinterpret_cast<const char*>(position));
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(decoded.get(), 0));
  const Ptr<EVP_PKEY> key(FEDI_X509_get_pubkey(certificate.get()));
  ASSERT_NE(nullptr, key);
  const Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  ASSERT_EQ(1, EVP_DigestVerifyInit(context.get(), nullptr, EVP_md5(), nullptr, key.get()));
  EXPECT_EQ(
      1, EVP_DigestVerify(context.get(), signature.get(), static_cast<std::size_t>(signatureLength),
                          reinterpret_cast<const unsigned char*>(text.data()) + signedStart,
                          signedEnd - signedStart));

  // A new process, which has not logged in to the token, signs through the My store the demo
  // set up: the key property names the private key "FEDICA.prikey", whose public half is
  // labelled "FEDICA.pubkey".
  const std::vector<Json> calls = {
      {"FEDIMessageSignWithCSP_Init", "CN=U001", "", "", "123456", 0, 0},
      {"FEDIMessageSignWithCSP_Update", "UNH+7+ORDERS:D:96A:UN'BGM+220+PO7+9'UNT+3+7'"},
      {"FEDIMessageSignWithCSP_Final"},
  };
  std::string script;
  for (const Json& call : calls) script += call.dump() + "\n";
  const HostRun fresh = runHost({"script"}, script,
                                {{"XDG_DATA_HOME", demoDir + "/csp/data"},
                                 {"XDG_CONFIG_HOME", demoDir + "/csp/config"},
                                 {"SOFTHSM2_CONF", demoDir + "/softhsm2.conf"}});
  ASSERT_EQ(0, fresh.status) << fresh.err;
  const std::vector<std::string> answers = lines(fresh.out);
  ASSERT_EQ(calls.size(), answers.size()) << fresh.out;
  for (const std::string& answer : answers)
    EXPECT_EQ(0, Json::parse(answer, nullptr, false).value("lastError", -1)) << answer;
  const std::string signedOrder = demoDir + "/orders-fresh-signed.edi";
  std::ofstream(signedOrder, std::ios::binary)
      << Json::parse(answers[1], nullptr, false).value("result", "");
  const HostRun checked =
      runHost({"verify-edifact", signedOrder, "--cert", demoDir + "/csp-signer.der"});
  EXPECT_EQ(0, checked.status) << checked.out << checked.err;
  EXPECT_EQ(0u, checked.out.find("OK: SHA-1 signature")) << checked.out;
}

// A step whose outcome is not the expected one stops the demo there, with its progress line
// and the reason on standard error. The faults come from our PKCS#11 proxy in front of
// SoftHSM2, on a token that a first, clean run set up.
TEST(Demo, StopsAtAStepThatFails) {
  struct Case {
    const char* faults;
    int step;
    const char* title;  // the start of the step's title
    const char* why;
  };
  const Case cases[] = {
      {"C_Login=0xA0", 3, "checkPassword with the right PIN",
       "unexpected; lastError 1513: the PIN was refused"},
      {"C_GenerateKeyPair=0x31", 4, "makeCard U001 ORG01",
       "unexpected; lastError 1516: the token's memory is full"},
      {"C_Sign=0x30", 10, "newCertificate http://127.0.0.1:",
       "unexpected; lastError 1003: the token did not produce a signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    TempDir dir;
    const std::string demoDir = dir.path() + "/demo";
    const std::vector<std::string> args = {"demo", "--dir", demoDir, "--module", proxyModule()};
    ASSERT_EQ(0, runHost(args).status);
    const HostRun run = runHost(args, {}, {{"KESTRUNE_P11PROXY_FAULTS", c.faults}});
    EXPECT_EQ(1, run.status);
    const std::vector<std::string> shown = lines(run.out);
    ASSERT_EQ(kHeaderLines + c.step, shown.size()) << run.out;
    EXPECT_EQ(0u, shown.back().find(stepPrefix(c.step) + c.title)) << shown.back();
    EXPECT_TRUE(shown.back().ends_with(" (" + std::string(c.why) + ")")) << shown.back();
    const std::string title = after(shown.back(), stepPrefix(c.step), "\n");
    EXPECT_EQ("kestrune demo: stopped at step " + std::to_string(c.step) + " (" +
                  title.substr(0, title.find(" ... ")) + "): " + c.why + "\n",
              run.err);
  }
}

TEST(Demo, DefaultsToTheUsersDataFolder) {
  TempDir dir;
  struct Case {
    const char* name;
    std::vector<EnvironmentChange> environment;
    std::string folder;
  };
  const Case cases[] = {
      {"XDG_DATA_HOME",
       {{"XDG_DATA_HOME", dir.path() + "/data"}},
       dir.path() + "/data/kestrune/demo"},
      {"HOME",
       {{"XDG_DATA_HOME", "", true}, {"HOME", dir.path() + "/home"}},
       dir.path() + "/home/.local/share/kestrune/demo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HostRun run = runHost({"demo"}, {}, c.environment);
    EXPECT_EQ(0, run.status) << run.out << run.err;
    EXPECT_TRUE(std::filesystem::exists(c.folder + "/softhsm2.conf"));
    EXPECT_TRUE(std::filesystem::exists(c.folder + "/authority/authority.db"));
  }
}

TEST(Demo, StopsWhenItsTokenOrAuthorityCannotBeHad) {
  TempDir dir;
  const std::string file = dir.path() + "/file";
  std::ofstream(file) << "not a folder";
  // A folder whose authority's place is taken by a file.
  const std::string blocked = dir.path() + "/blocked";
  std::filesystem::create_directories(blocked);
  std::ofstream(blocked + "/authority") << "not a folder";
  struct Case {
    std::vector<std::string> args;
    const char* why;
  };
  const Case cases[] = {
      {{"demo", "--dir", dir.path() + "/a\nb"}, "line break"},
      {{"demo", "--dir", file + "/demo"}, "cannot create"},
      {{"demo", "--dir", dir.path() + "/demo", "--module", "/no/such/module.so"}, "cannot load"},
      {{"demo", "--dir", blocked}, "cannot make the authority"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const HostRun run = runHost(c.args);
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find(c.why)) << run.err;
  }
}

}  // namespace
}  // namespace kestrune::testing
