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
#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;

// parsedLines parses every output line as JSON; a line that isn't JSON fails the test.
std::vector<Json> parsedLines(const std::string& out) {
  std::vector<Json> parsed;
  for (const std::string& line : lines(out)) {
    Json value = Json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON: " << line;
    parsed.push_back(std::move(value));
  }
  return parsed;
}

std::string libraryLine() {
  return Json::array({"loadLib", softHsmModule()}).dump();
}

TEST(Host, MethodsListsTheInterfaceInOrder) {
  const HostRun run = runHost({"methods"});
  EXPECT_EQ(0, run.status);
  const std::vector<std::string> listed = lines(run.out);
  ASSERT_EQ(59u, listed.size());
  EXPECT_EQ("1 loadCACert(cafile: text) -> I4 rtn", listed[0]);
  EXPECT_EQ("10 makeRequestCert(reqType: I4, outFile: text, OptionalData: text) -> I4 rtn",
            listed[9]);
  EXPECT_EQ("17 getErrorCode() -> I4 rtn", listed[16]);
  EXPECT_EQ("18 loadLib(libname: text) -> I4 rtn", listed[17]);
  EXPECT_EQ("26 setTestVersion(iTest: I4) -> none", listed[25]);
  EXPECT_EQ("47 FEDIMessageSign(SourceData: text) -> text rtn", listed[45]);
  EXPECT_EQ("49 showDebugMessage(bShow: I4) -> none", listed[46]);
  EXPECT_EQ("55 TV_GETVersion(flag: I4) -> text ver", listed[52]);
  EXPECT_EQ("61 getCertNotAfter(iFlags: I4) -> text rtn", listed[58]);
}

TEST(Host, ScriptRunsASessionOnTheToken) {
  SoftHsm hsm;
  const std::string script = "# a session on one token\n" + libraryLine() +
                             "\n"
                             "[\"checkPassword\", \"000000\"]\n"
                             "\n"
                             "[\"checkPassword\", \"密碼\"]\n"
                             "[\"checkPassword\", \"123456\"]\r\n"
                             "[\"getType\"]\n"
                             "[\"close\"]\n"
                             "[\"getErrorCode\"]\n"
                             "[\"TV_GETVersion\", 0]\n";
  const std::string file = hsm.dir() + "/session.jsonl";
  std::ofstream(file) << script;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"script", file}, std::vector<std::string>{"script", "-"}}) {
    SCOPED_TRACE(args.back());
    const HostRun run = runHost(args, args.back() == "-" ? script : "");
    EXPECT_EQ(0, run.status) << run.err;
    const std::vector<Json> answers = parsedLines(run.out);
    const std::vector<Json> expected = {
        Json::parse(R"({"method": "loadLib", "result": 0, "lastError": 0})"),
        Json::parse(R"({"method": "checkPassword", "result": 1513, "lastError": 1513})"),
        Json::parse(R"({"method": "checkPassword", "result": 1513, "lastError": 1513})"),
        Json::parse(R"({"method": "checkPassword", "result": 0, "lastError": 0})"),
        Json::parse(R"({"method": "getType", "result": null, "lastError": 0})"),
        Json::parse(R"({"method": "close", "lastError": 0})"),
        Json::parse(R"({"method": "getErrorCode", "result": 0, "lastError": 0})"),
        Json::parse(R"({"method": "TV_GETVersion", "result": "1,0,0,0", "lastError": 0})"),
    };
    EXPECT_EQ(expected, answers);
  }
}

TEST(Host, ScriptFaultsAreReportedAndTheRunGoesOn) {
  const std::string script =
      "[\"getErrorCode\"]\n"
      "not json\n"
      "[\"noSuchMethod\"]\n"
      "# a comment keeps its line number\n"
      "[\"loadLib\", 5]\n"
      "[\"setCurrentSlot\", \"0\"]\n"
      "[\"setCurrentSlot\", 1.5]\n"
      "[\"setCurrentSlot\", 4294967296]\n"
      "[\"checkPassword\"]\n"
      "[\"checkPassword\", \"1\", \"2\"]\n"
      "[\"checkPassword\", \"12\\u00003456\"]\n"
      "{\"method\": \"getErrorCode\"}\n"
      "[\"FEDIMessageSignWithCSP_Final\"]\n"
      "[\"GETERRORCODE\"]\n";
  const HostRun run = runHost({"script"}, script);
  EXPECT_EQ(1, run.status);
  const std::vector<Json> answers = parsedLines(run.out);
  struct Fault {
    int line;
    const char* why;  // a part of the reason
  };
  const Fault faults[] = {
      {2, "not valid JSON"},
      {3, "noSuchMethod"},
      {5, "argument 1 (libname: text) of loadLib must be a text"},
      {6, "argument 1 (SlotNumber: I4) of setCurrentSlot must be an I4"},
      {7, "must be a JSON string or integer"},
      {8, "outside the 32-bit range"},
      {9, "checkPassword takes 1 argument (checkData: text), got 0"},
      {10, "got 2"},
      {11, "NUL"},
      {12, "JSON array"},
      {13, "FEDIMessageSignWithCSP_Final is not implemented yet"},
  };
  ASSERT_EQ(std::size(faults) + 2, answers.size()) << run.out;
  EXPECT_EQ(Json::parse(R"({"method": "getErrorCode", "result": 0, "lastError": 0})"),
            answers.front());
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    const Json& answer = answers[i + 1];
    SCOPED_TRACE(answer.dump());
    ASSERT_EQ(2u, answer.size());
    EXPECT_EQ(faults[i].line, answer.value("line", 0));
    EXPECT_NE(std::string::npos, answer.value("fault", std::string()).find(faults[i].why));
  }
  // Method names are matched without regard to case, as GetIDsOfNames matches them.
  EXPECT_EQ(Json::parse(R"({"method": "getErrorCode", "result": 0, "lastError": 0})"),
            answers.back());
}

TEST(Host, ScriptReportsMessageBoxes) {
  const std::string script =
      "[\"setCurrentSlot\", 0]\n"
      "[\"showDebugMessage\", 1]\n"
      "[\"setCurrentSlot\", 0]\n";
  const HostRun run = runHost({"script", "-"}, script);
  EXPECT_EQ(0, run.status) << run.err;
  const std::vector<Json> expected = {
      Json::parse(R"({"method": "setCurrentSlot", "result": 1500, "lastError": 1500})"),
      Json::parse(R"({"method": "showDebugMessage", "lastError": 1500})"),
      Json::parse(R"({"method": "setCurrentSlot", "result": 1500, "lastError": 1500,
                      "messages": [{"caption": "connectToken", "text": "81"}]})"),
  };
  EXPECT_EQ(expected, parsedLines(run.out));
}

TEST(Host, CallPrintsTheResultAndTheLastError) {
  SoftHsm hsm;
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"call", "loadLib", softHsmModule()}, "0\n", "lastError 0\n"},
      {{"call", "loadLib", "/no/such/library.so"}, "1500\n", "lastError 1500\n"},
      {{"call", "TV_GETVersion", "0"}, "1,0,0,0\n", "lastError 0\n"},
      // A null text prints nothing.
      {{"call", "getType"}, "", "lastError 1500\n"},
      {{"call", "setCurrentSlot", "-1"}, "1500\n", "lastError 1500\n"},
      {{"call", "setTestVersion", "1"}, "", "lastError 0\n"},
      {{"call", "close"}, "", "lastError 0\n"},
      {{"call", "geterrorcode"}, "0\n", "lastError 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const HostRun run = runHost(c.args);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
  }
}

TEST(Host, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"methods", "extra"},
      {"call"},
      {"call", "noSuchMethod"},
      {"call", "loadLib"},
      {"call", "loadLib", "a", "b"},
      {"call", "setCurrentSlot", "one"},
      {"call", "setCurrentSlot", "2147483648"},
      {"call", "setCurrentSlot", "1.0"},
      {"script", "/no/such/script.jsonl"},
      {"demo", "--no-such-option"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const HostRun run = runHost(args);
    EXPECT_EQ(2, run.status);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_FALSE(run.err.empty());
  }
}

TEST(Host, CallOfAMethodNotBuiltIsRefused) {
  const HostRun run = runHost({"call", "FEDIMessageSignWithCSP_Final"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(run.out.empty());
  EXPECT_NE(std::string::npos, run.err.find("FEDIMessageSignWithCSP_Final is not implemented yet"))
      << run.err;
}

constexpr int kDemoSteps = 23;

// stepPrefix is how the progress line of step n begins: "[n/23] ".
std::string stepPrefix(int n) {
  return "[" + std::to_string(n) + "/" + std::to_string(kDemoSteps) + "] ";
}

// dayNumber reads a YYYYMMDD date as days since 1970; -1 when it isn't one.
long dayNumber(const std::string& date) {
  std::tm day{};
  if (date.size() != 8 || date.find_first_not_of("0123456789") != std::string::npos) return -1;
  day.tm_year = std::stoi(date.substr(0, 4)) - 1900;
  day.tm_mon = std::stoi(date.substr(4, 2)) - 1;
  day.tm_mday = std::stoi(date.substr(6, 2));
  return static_cast<long>(timegm(&day) / 86400);
}

// resultOf returns what a progress line shows between " ... " and " (".
std::string resultOf(const std::string& line) {
  const std::size_t start = line.find(" ... ");
  const std::size_t end = line.find(" (", start);
  if (start == std::string::npos || end == std::string::npos) return {};
  return line.substr(start + 5, end - start - 5);
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Host, DemoRunsTheLifeCycleAndAgainOnItsToken) {
  TempDir dir;
  const std::string demoDir = dir.path() + "/demo";
  // The steps whose results are fixed, by the start of their progress line.
  const std::vector<std::pair<int, std::string>> fixed = {
      {1, "loadLib " + std::string(softHsmModule()) + " ... 0 ("},
      {2, "checkPassword with a wrong PIN ... 1513 (the PIN was refused)"},
      {3, "checkPassword with the right PIN ... 0 (logged in)"},
      {4, "makeCard U001 ORG01 ... 0 ("},
      {5, "getType ... Linkway ("},
      {6, "getSID1 ... U001 ("},
      {7, "getSID2 ... ORG01 ("},
      {8, "authority: read the token's public key ... 512-bit modulus, exponent 010001 ("},
      {10, "authority: issue the user certificate ... serial 1234567890 ("},
      {11, "setTestVersion 1 ... ("},
      {12, "loadCACertB64 with the CA certificate bag ... 0 ("},
      {13, "loadCertB64 with the user certificate bag ... 0 ("},
      {14, "getCSN ... 1234567890 ("},
      {17, "getCASID1 ... TESTCA1 ("},
      {18, "getCASID2 ... FEDI Test Certification CA ("},
      {20, "sign \"abc\" ... "},
      {21, "FEDIMessageSign of a sample INVOIC message ... UNH+1+INVOIC:D:96A:UN'USH+94W+"},
      {22, "verify invoic-signed.edi with user-cert.der ... OK (MD5 signature of "},
      {23, "close ... (the session is closed)"},
  };
  for (const char* first : {"Initialised a SoftHSM2 token", "Using the SoftHSM2 token"}) {
    SCOPED_TRACE(first);
    const HostRun run = runHost({"demo", "--dir", demoDir});
    EXPECT_EQ(0, run.status) << run.out << run.err;
    const std::vector<std::string> shown = lines(run.out);
    ASSERT_EQ(kDemoSteps + 2u, shown.size()) << run.out;
    EXPECT_EQ(0u, shown[0].find(first)) << shown[0];
    EXPECT_NE(std::string::npos, shown[0].find("user PIN 123456"));
    for (int n = 1; n <= kDemoSteps; ++n) EXPECT_EQ(0u, shown[n].find(stepPrefix(n))) << shown[n];
    for (const auto& [n, start] : fixed) {
      EXPECT_EQ(0u, shown[n].find(stepPrefix(n) + start)) << shown[n];
    }
    EXPECT_NE(std::string::npos, shown[22].find(" by 1234567890 verified; 15 segments)"));
    // Valid from the day of issue for a year.
    const long begin = dayNumber(resultOf(shown[15]));
    EXPECT_NE(-1, begin) << shown[15];
    EXPECT_EQ(begin + 365, dayNumber(resultOf(shown[16]))) << shown[16];
    EXPECT_EQ(0u, shown[kDemoSteps + 1].find("Done: the signed message is "));
    EXPECT_TRUE(run.err.empty()) << run.err;
  }
  EXPECT_TRUE(std::filesystem::exists(demoDir + "/softhsm2.conf"));
}

// The signed message the demo leaves verifies with our verifier and, independently, with
// OpenSSL over the signed range and the certificate bag's key.
TEST(Host, DemoLeavesASignedMessageThatVerifies) {
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
  EXPECT_NE(std::string::npos, text.find("'USC+1234567890+3:::::U001:ORG01'")) << text;
  EXPECT_TRUE(text.ends_with("'UNT+15+1'")) << text;
  const std::size_t signedStart = text.find("USH+");
  const std::size_t signedEnd = text.find("UST+");
  const std::size_t hexStart = text.find("USR+") + 4;
  const std::size_t hexEnd = text.find('\'', hexStart);
  ASSERT_NE(std::string::npos, signedEnd);
  ASSERT_NE(std::string::npos, hexEnd);
  long signatureLength = 0;
  const std::unique_ptr<unsigned char, void (*)(void*)> signature(
      OPENSSL_hexstr2buf(text.substr(hexStart, hexEnd - hexStart).c_str(), &signatureLength),
      [](void* p) { OPENSSL_free(p); });
  ASSERT_NE(nullptr, signature);
  EXPECT_EQ(64, signatureLength);

  const std::string der = fileText(bag);
  const auto* position = reinterpret_cast<const unsigned char*>(der.data());
  const fedi::RecordPtr<FEDICERT> decoded(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(der.size())));
  ASSERT_NE(nullptr, decoded);
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(decoded.get(), 0));
  const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(FEDI_X509_get_pubkey(certificate.get()),
                                                           EVP_PKEY_free);
  ASSERT_NE(nullptr, key);
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
  ASSERT_EQ(1, EVP_DigestVerifyInit(context.get(), nullptr, EVP_md5(), nullptr, key.get()));
  EXPECT_EQ(
      1, EVP_DigestVerify(context.get(), signature.get(), static_cast<std::size_t>(signatureLength),
                          reinterpret_cast<const unsigned char*>(text.data()) + signedStart,
                          signedEnd - signedStart));
}

// A step whose outcome is not the expected one stops the demo there, with its progress line
// and the reason on standard error. The faults come from our PKCS#11 proxy in front of
// SoftHSM2, on a token that a first, clean run set up.
TEST(Host, DemoStopsAtAStepThatFails) {
  struct Case {
    const char* faults;
    int step;
    const char* title;
    const char* why;
  };
  const Case cases[] = {
      {"C_Login=0xA0", 3, "checkPassword with the right PIN",
       "unexpected; lastError 1513: the PIN was refused"},
      {"C_GenerateKeyPair=0x31", 4, "makeCard U001 ORG01",
       "unexpected; lastError 1516: the token's memory is full"},
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
    ASSERT_EQ(c.step + 1u, shown.size()) << run.out;
    EXPECT_EQ(stepPrefix(c.step) + c.title + " ... " + resultOf(shown.back()) + " (" + c.why + ")",
              shown.back());
    EXPECT_EQ("kestrune demo: stopped at step " + std::to_string(c.step) + " (" + c.title +
                  "): " + c.why + "\n",
              run.err);
  }
}

TEST(Host, DemoDefaultsToTheUsersDataFolder) {
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
  }
}

TEST(Host, DemoStopsWhenItsTokenCannotBeHad) {
  TempDir dir;
  const std::string file = dir.path() + "/file";
  std::ofstream(file) << "not a folder";
  struct Case {
    std::vector<std::string> args;
    const char* why;
  };
  const Case cases[] = {
      {{"demo", "--dir", dir.path() + "/a\nb"}, "line break"},
      {{"demo", "--dir", file + "/demo"}, "cannot create"},
      {{"demo", "--dir", dir.path() + "/demo", "--module", "/no/such/module.so"}, "cannot load"},
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
