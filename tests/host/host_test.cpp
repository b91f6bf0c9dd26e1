#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tests/host/token_modules.h"
#include "tests/support/opencryptoki.h"
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

TEST(Host, MethodsListsWhatEachCallDoes) {
  const HostRun run = runHost({"methods", "--effects"});
  EXPECT_EQ(0, run.status);
  const std::vector<std::string> listed = lines(run.out);
  ASSERT_EQ(59u, listed.size());
  EXPECT_EQ("1 loadCACert(cafile: text) -> I4 rtn [readsFile, storesOnToken]", listed[0]);
  EXPECT_EQ("5 getSID1() -> text rtn [reads]", listed[4]);
  EXPECT_EQ(
      "10 makeRequestCert(reqType: I4, outFile: text, OptionalData: text) -> I4 rtn [signs, "
      "writesFile]",
      listed[9]);
  EXPECT_EQ(
      "27 newCertificate(caUrl: text, key: text) -> I4 rtn [talksToUrl, signs, "
      "changesCertificate, storesOnToken]",
      listed[26]);
  EXPECT_EQ(
      "30 queryCertificate(caUrl: text, casid1: text, casid2: text, csn: text) -> I4 rtn "
      "[talksToUrl, storesOnToken]",
      listed[29]);
  EXPECT_EQ("26 setTestVersion(iTest: I4) -> none [configures]", listed[25]);
}

class SessionHost : public ModuleHostTest {};
KESTRUNE_ON_EVERY_MODULE(SessionHost);

// Two wrong PINs stay below opencryptoki's lock-out after three.
TEST_P(SessionHost, ScriptRunsASessionOnTheToken) {
  const std::string script = "# a session on one token\n" +
                             Json::array({"loadLib", module()}).dump() +
                             "\n"
                             "[\"checkPassword\", \"000000\"]\n"
                             "\n"
                             "[\"checkPassword\", \"密碼\"]\n"
                             "[\"checkPassword\", \"123456\"]\r\n"
                             "[\"getType\"]\n"
                             "[\"close\"]\n"
                             "[\"getErrorCode\"]\n"
                             "[\"TV_GETVersion\", 0]\n";
  const std::string file = dir() + "/session.jsonl";
  std::ofstream(file) << script;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"script", file}, std::vector<std::string>{"script", "-"}}) {
    SCOPED_TRACE(args.back());
    const HostRun run = runHost(args, args.back() == "-" ? script : "");
    EXPECT_EQ(0, run.status) << run.err;
    const std::vector<Json> answers = parsedLines(run.out);
    const std::vector<Json> expected = {
        Json::parse(R"({"method": "loadLib", "result": 0, "lastError": 0})"),
        Json::parse(
            R"({"method": "checkPassword", "result": 1513, "lastError": 1513, "error": "the PIN was refused"})"),
        Json::parse(
            R"({"method": "checkPassword", "result": 1513, "lastError": 1513, "error": "the PIN was refused"})"),
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
      "[\"FEDIMessageSignWithCSP_Final\", \"x\"]\n"
      "[\"setCurrentSlot\", 9e308]\n"
      "[\"setCurrentSlot\", true]\n"
      "[\"checkPassword\", 1234]\n"
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
      // The interface is typed: each parameter takes its own JSON type, and the fault names
      // the method, the parameter, what was given and what is wanted.
      {5, "argument 1 (libname: text) of loadLib must be a JSON string, not the number 5"},
      {6,
       "argument 1 (SlotNumber: I4) of setCurrentSlot must be a JSON integer, not the string "
       "\"0\""},
      {7,
       "argument 1 (SlotNumber: I4) of setCurrentSlot must be a JSON integer, not the number "
       "1.5"},
      {8, "outside the 32-bit range"},
      {9, "checkPassword takes 1 argument (checkData: text), got 0"},
      {10, "got 2"},
      {11, "NUL"},
      {12, "JSON array"},
      {13, "FEDIMessageSignWithCSP_Final takes 0 arguments (), got 1"},
      {14, "a number outside the range of a double"},
      {15, "argument 1 (SlotNumber: I4) of setCurrentSlot must be a JSON integer, not true"},
      // A PIN given as a number is still the PIN: its value is not repeated.
      {16,
       "argument 1 (checkData: text) of checkPassword must be a JSON string, not a JSON "
       "number"},
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
  EXPECT_EQ(std::string::npos, run.out.find("1234"));
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
      Json::parse(
          R"({"method": "setCurrentSlot", "result": 1500, "lastError": 1500, "error": "the PKCS#11 library failed or could not be loaded"})"),
      Json::parse(
          R"({"method": "showDebugMessage", "lastError": 1500, "error": "the PKCS#11 library failed or could not be loaded"})"),
      Json::parse(
          R"({"method": "setCurrentSlot", "result": 1500, "lastError": 1500, "error": "the PKCS#11 library failed or could not be loaded",
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
  const std::string noLibrary =
      "lastError 1500 (the PKCS#11 library failed or could not be loaded)\n";
  const Case cases[] = {
      {{"call", "loadLib", softHsmModule()}, "0\n", "lastError 0\n"},
      // Debian's SoftHSM2 by the name p11-kit registers it under, as the local agent takes it.
      {{"call", "loadLib", "softhsm2"}, "0\n", "lastError 0\n"},
      {{"call", "loadLib", "/no/such/library.so"},
       "1500\n",
       "lastError 1500 (the PKCS#11 library could not be loaded: /no/such/library.so: cannot "
       "open shared object file: No such file or directory)\n"},
      {{"call", "TV_GETVersion", "0"}, "1,0,0,0\n", "lastError 0\n"},
      // A null text prints nothing.
      {{"call", "getType"}, "", noLibrary},
      {{"call", "setCurrentSlot", "-1"}, "1500\n", noLibrary},
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

// A failed call says what its code means; --fail-on-error makes it fail the command, and
// `explain` gives the text of any code a method leaves.
TEST(Host, FailedCallsSayWhatTheirCodeMeans) {
  const HostRun failed = runHost({"call", "--fail-on-error", "loadLib", "/no/such/library.so"});
  EXPECT_EQ(1, failed.status);
  EXPECT_EQ(0u, failed.err.find("lastError 1500 (the PKCS#11 library could not be loaded: "))
      << failed.err;
  EXPECT_EQ(0, runHost({"call", "--fail-on-error", "TV_GETVersion", "0"}).status);

  const std::string script =
      "[\"TV_GETVersion\", 0]\n"
      "[\"loadLib\", \"softhsm2\"]\n"  // p11-kit's name for Debian's SoftHSM2
      "[\"loadLib\", \"/no/such/library.so\"]\n";
  for (const bool failOnError : {false, true}) {
    SCOPED_TRACE(failOnError);
    std::vector<std::string> args = {"script"};
    if (failOnError) args.push_back("--fail-on-error");
    const HostRun run = runHost(args, script);
    EXPECT_EQ(failOnError ? 1 : 0, run.status);
    const std::vector<Json> answers = parsedLines(run.out);
    ASSERT_EQ(3u, answers.size()) << run.out;
    EXPECT_FALSE(answers[0].contains("error")) << answers[0];
    EXPECT_EQ(0, answers[1].value("lastError", -1)) << answers[1];
    EXPECT_EQ(0u, answers[2].value("error", "").find("the PKCS#11 library could not be loaded: "))
        << answers[2];
  }

  struct Explained {
    const char* code;
    int status;
    const char* out;
  };
  const Explained codes[] = {
      {"1513", 0, "1513: the PIN was refused\n"},
      {"2013", 0,
       "2013: the authority refused the request (status 13: the pass phrase is spent or locked: "
       "enrol the holder again)\n"},
      {"2077", 0, "2077: the authority refused the request (status 77)\n"},
      {"5203", 0,
       "5203: CryptoAPI layer: the certificate's key provider or container could not be "
       "opened\n"},
      {"12029", 0,
       "12029: network: the authority could not be reached (connection refused or "
       "unreachable)\n"},
      {"12100", 0, "12100: network: the request to the authority failed in the network layer\n"},
      {"77", 1, ""},
      {"-1", 1, ""},
      {"0x5DC", 2, ""},
      {"99999999999", 2, ""},
  };
  for (const Explained& c : codes) {
    SCOPED_TRACE(c.code);
    const HostRun run = runHost({"explain", c.code});
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.status == 0, run.err.empty()) << run.err;
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

// PINs and pass phrases show up nowhere in what the host prints: not in answers, message
// boxes, nor faults (a line that isn't JSON, an argument of the wrong kind).
TEST(Host, SecretsAppearInNoOutput) {
  SoftHsm hsm;
  const std::string script = "[\"showDebugMessage\", 1]\n" +
                             Json::array({"loadLib", softHsmModule()}).dump() +
                             "\n"
                             "[\"checkPassword\", \"9876500\"]\n"
                             "[\"setPassword\", \"9876501\", \"9876502\"]\n"
                             "[\"checkPassword\", \"9876503\"\n"
                             "[\"checkPassword\", \"9876504\", \"\"]\n"
                             "[\"checkPassword\", \"98765\\ud800\"]\n"
                             "[\"makeRequestCert\", 1, \"" +
                             hsm.dir() +
                             "/request.bin\", \"9876505\"]\n"
                             "[\"newCertificate\", \"http://127.0.0.1:9/\", \"9876506\"]\n";
  const HostRun run = runHost({"script", "-"}, script);
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_EQ(std::string::npos, run.out.find("98765")) << run.out;
  EXPECT_EQ(std::string::npos, run.err.find("98765")) << run.err;

  const HostRun call = runHost({"call", "checkPassword", "9876507"});
  EXPECT_EQ(0, call.status);
  EXPECT_EQ(std::string::npos, (call.out + call.err).find("98765")) << call.out << call.err;
}

// A real card's lock-out, which SoftHSM2 doesn't have: opencryptoki locks the user PIN after
// three wrong ones, and the right one is then refused as locked.
TEST(OpenCryptokiHost, ThreeWrongPinsLockTheToken) {
  OpenCryptoki token;
  if (!token.available()) GTEST_SKIP() << token.why();
  std::string script = Json::array({"loadLib", token.module()}).dump() + "\n";
  for (const char* pin : {"000000", "000000", "000000", kUserPin}) {
    script += Json::array({"checkPassword", pin}).dump() + "\n";
  }
  const HostRun run = runHost({"script", "-"}, script);
  EXPECT_EQ(0, run.status) << run.err;
  const std::vector<Json> expected = {
      Json::parse(R"({"method": "loadLib", "result": 0, "lastError": 0})"),
      Json::parse(
          R"({"method": "checkPassword", "result": 1513, "lastError": 1513, "error": "the PIN was refused"})"),
      Json::parse(
          R"({"method": "checkPassword", "result": 1513, "lastError": 1513, "error": "the PIN was refused"})"),
      Json::parse(
          R"({"method": "checkPassword", "result": 1513, "lastError": 1513, "error": "the PIN was refused"})"),
      Json::parse(
          R"({"method": "checkPassword", "result": 1517, "lastError": 1517, "error": "the PIN is locked"})"),
  };
  EXPECT_EQ(expected, parsedLines(run.out));
}

}  // namespace
}  // namespace kestrune::testing
