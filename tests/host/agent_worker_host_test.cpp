// The agent's session process, run as the agent runs it: module names instead of paths, files
// kept in the origin's folder, and a session that goes on past a refused or malformed line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/issuing.h"
#include "tests/ca/test_authority.h"
#include "platform/child_process.h"
#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// The test authority's own certificate in a bag, as loadCACert reads it.
std::vector<std::uint8_t> authorityBag() {
  const auto certificate = ca::issueCertificate(ca::test::authoritySpec(), ca::test::testCaKey());
  EXPECT_TRUE(certificate);
  if (!certificate) return {};
  FEDI_X509* const certificates[] = {certificate.get()};
  const auto bag = ca::makeBag(certificates);
  EXPECT_TRUE(bag);
  return bag ? ca::toDer(*bag) : std::vector<std::uint8_t>{};
}

Json refused() {
  return Json{{"kind", "refused"}};
}
Json badCall() {
  return Json{{"kind", "bad-call"}};
}
Json answer(const char* method, int result) {
  return Json{{"method", method}, {"result", result}, {"lastError", result}};
}

// A fault answer is compared by its kind: the reasons are for people.
Json comparable(Json line) {
  if (line.contains("fault")) line.erase("fault");
  return line;
}

class AgentWorkerHost : public ::testing::Test {
 protected:
  AgentWorkerHost() {
    fs::create_directories(origin_);
    fs::create_directories(config_ + "/kestrune");
    // The user's own name for the same module, beside p11-kit's.
    std::ofstream(config_ + "/kestrune/agent.json")
        << Json{{"modules", {{"my-token", softHsmModule()}}}}.dump();
    const auto bag = authorityBag();
    std::ofstream(origin_ + "/ca.der", std::ios::binary)
        .write(reinterpret_cast<const char*>(bag.data()), static_cast<std::streamsize>(bag.size()));
  }

  std::vector<Json> run(const std::vector<std::string>& calls) {
    std::string input;
    for (const std::string& call : calls) input += call + "\n";
    const HostRun host = runHost({"agent-worker", "--origin-folder", origin_}, input,
                                 {{"XDG_CONFIG_HOME", config_}});
    EXPECT_EQ(0, host.status) << host.err;
    EXPECT_EQ(std::string::npos, host.out.find(kUserPin));
    std::vector<Json> answers;
    for (const std::string& line : lines(host.out)) {
      answers.push_back(comparable(Json::parse(line, nullptr, false)));
    }
    return answers;
  }

  SoftHsm hsm_;
  TempDir dir_;
  const std::string origin_ = dir_.path() + "/origin";
  const std::string config_ = dir_.path() + "/config";
};

TEST_F(AgentWorkerHost, LoadsModulesByNameAndKeepsFilesInTheOriginsFolder) {
  const std::vector<Json> answers = run({
      R"(["loadLib", "/usr/lib/softhsm/libsofthsm2.so"])",
      R"(["loadLib", "softhsm2"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      "not json",
      R"(["setTestVersion", 1])",
      R"(["loadCACert", "../origin/ca.der"])",
      Json::array({"loadCACert", origin_ + "/ca.der"}).dump(),
      R"(["loadCACert", "ca.der"])",
      R"(["getCert", "/tmp/kestrune-agent-worker.cer"])",
      R"(["getErrorCode"])",
  });
  const std::vector<Json> expected = {
      refused(),
      answer("loadLib", 0),
      answer("checkPassword", 0),
      badCall(),
      Json{{"method", "setTestVersion"}, {"lastError", 0}},
      refused(),
      refused(),
      answer("loadCACert", 0),
      refused(),
      answer("getErrorCode", 0),
  };
  EXPECT_EQ(expected, answers);
  EXPECT_FALSE(fs::exists("/tmp/kestrune-agent-worker.cer"));
}

TEST_F(AgentWorkerHost, LoadsTheUsersOwnModuleName) {
  const std::vector<Json> answers = run({
      R"(["loadLib", "my-token"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      R"(["loadLib", "no-such-module"])",
      "",
  });
  const std::vector<Json> expected = {
      answer("loadLib", 0),
      answer("checkPassword", 0),
      refused(),
      badCall(),
  };
  EXPECT_EQ(expected, answers);
}

// As the agent runs it: a child of its own session, spoken to a line at a time.
TEST_F(AgentWorkerHost, AnswersLineByLineAsTheAgentsChild) {
  platform::ChildProcess worker;
  std::string why;
  ASSERT_TRUE(worker.start({KESTRUNE_HOST_PATH, "agent-worker", "--origin-folder", origin_},
                           {{"XDG_CONFIG_HOME", config_}}, origin_, false, why))
      << why;
  const auto call = [&](const std::string& line) {
    EXPECT_EQ(platform::ChildProcess::Status::ok, worker.writeLine(line));
    std::string answer;
    EXPECT_EQ(platform::ChildProcess::Status::ok,
              worker.readLine(answer, std::chrono::seconds(30), 1 << 20));
    return comparable(Json::parse(answer, nullptr, false));
  };
  EXPECT_EQ(answer("loadLib", 0), call(R"(["loadLib", "softhsm2"])"));
  EXPECT_EQ(refused(), call(R"(["getCert", "../escape.cer"])"));
  EXPECT_EQ(answer("checkPassword", 0), call(Json::array({"checkPassword", kUserPin}).dump()));
  worker.closeInput();
  std::string rest;
  EXPECT_EQ(platform::ChildProcess::Status::ended,
            worker.readLine(rest, std::chrono::seconds(30), 1 << 20));
  worker.stop(std::chrono::seconds(5));
}

TEST(AgentWorkerHostStart, RefusesAnOriginFolderThatIsNotAnAbsoluteFolder) {
  for (const char* folder : {"relative/folder", "/nonexistent/kestrune/origin"}) {
    SCOPED_TRACE(folder);
    const HostRun host = runHost({"agent-worker", "--origin-folder", folder}, "[\"getSID1\"]\n");
    EXPECT_EQ(2, host.status);
    EXPECT_EQ("", host.out);
  }
}

}  // namespace
}  // namespace kestrune::testing
