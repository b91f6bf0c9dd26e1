// kestrune origins: the agent's allow-list under the test's own XDG_CONFIG_HOME, taken as a
// user types origins and kept as browsers send them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tests/support/test_files.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Json = nlohmann::json;

class OriginsHostTest : public ::testing::Test {
 protected:
  HostRun kestrune(const Args& args) {
    return runHost(args, {}, {{"XDG_CONFIG_HOME", dir.path() + "/config"}});
  }
  std::string file() const { return dir.path() + "/config/kestrune/origins.json"; }
  void writeText(const std::string& text) {
    fs::create_directories(fs::path(file()).parent_path());
    writeFile(file(), std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  std::string readText() const {
    const std::vector<std::uint8_t> bytes = readFile(file());
    return {bytes.begin(), bytes.end()};
  }

  TempDir dir;
};

TEST_F(OriginsHostTest, AddListRemoveInTheFormBrowsersSend) {
  HostRun run = kestrune({"origins", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.out);

  run = kestrune({"origins", "add", "https://Bank.Example:443/"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("allowed https://bank.example\n", run.out);
  run = kestrune({"origins", "add", "HTTPS://bank.example"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("https://bank.example is already allowed\n", run.out);
  ASSERT_EQ(0, kestrune({"origins", "add", "http://127.0.0.1:8080"}).status);
  EXPECT_EQ(Json::parse(R"({"origins": ["http://127.0.0.1:8080", "https://bank.example"]})"),
            Json::parse(readText()));
  struct stat info {};
  ASSERT_EQ(0, stat(file().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);

  run = kestrune({"origins", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Args{"http://127.0.0.1:8080", "https://bank.example"}), lines(run.out));

  run = kestrune({"origins", "remove", "https://bank.example:443"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("removed https://bank.example\n", run.out);
  run = kestrune({"origins", "remove", "https://bank.example"});
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("https://bank.example is not in " + file())) << run.err;
  EXPECT_EQ(Args{"http://127.0.0.1:8080"}, lines(kestrune({"origins", "list"}).out));
}

TEST_F(OriginsHostTest, RefusesWhatIsNotAnOriginAndAFileItCannotUse) {
  writeText(R"({"origins": ["https://bank.example"]})");
  struct Case {
    Args args;
    int status;
    const char* reason;
  } const cases[] = {
      {{"origins", "add", "null"}, 2, "\"null\" is not a web origin"},
      {{"origins", "add", "file:///x"}, 2, "only http and https"},
      {{"origins", "add", "https://a/b"}, 2, "no user, path, query or fragment"},
      {{"origins", "remove", "https://bank.example/login"}, 2, "is not a web origin"},
      {{"origins", "add"}, 2, "origin is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const HostRun run = kestrune(c.args);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
    EXPECT_EQ(R"({"origins": ["https://bank.example"]})", readText());
  }

  // Written by hand in a spelling no browser sends: refused, not rewritten.
  const std::string handWritten = R"({"origins": ["https://Bank.Example"]})";
  writeText(handWritten);
  for (const Args& args : {Args{"origins", "list"}, Args{"origins", "add", "https://x.example"}}) {
    const HostRun run = kestrune(args);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("write https://bank.example")) << run.err;
    EXPECT_EQ(handWritten, readText());
  }
}

// Plain HTTP is trusted from this machine's loopback only: a page that travels the network
// unencrypted could be rewritten on the way, so allowing one takes --insecure.
TEST_F(OriginsHostTest, PlainHttpBeyondTheLoopbackTakesInsecure) {
  for (const char* remote : {"http://bank.example", "http://10.1.2.3:8080", "http://[fe80::1]"}) {
    SCOPED_TRACE(remote);
    const HostRun refused = kestrune({"origins", "add", remote});
    EXPECT_EQ(2, refused.status) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("plain HTTP beyond this machine")) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("--insecure")) << refused.err;
    EXPECT_EQ("", refused.out);
    EXPECT_FALSE(fs::exists(file()));
  }
  for (const char* local : {"http://localhost:8000", "http://127.0.0.1:8080", "http://127.9.9.9",
                            "http://[::1]:8080"}) {
    SCOPED_TRACE(local);
    const HostRun allowed = kestrune({"origins", "add", local});
    EXPECT_EQ(0, allowed.status) << allowed.err;
    EXPECT_EQ("", allowed.err);
  }
  const HostRun insecure = kestrune({"origins", "add", "--insecure", "http://Bank.Example"});
  EXPECT_EQ(0, insecure.status) << insecure.err;
  EXPECT_EQ("allowed http://bank.example\n", insecure.out);
  EXPECT_NE(std::string::npos, insecure.err.find("WARNING: http://bank.example is plain HTTP"))
      << insecure.err;
  EXPECT_EQ((Args{"http://127.0.0.1:8080", "http://127.9.9.9", "http://[::1]:8080",
                  "http://bank.example", "http://localhost:8000"}),
            lines(kestrune({"origins", "list"}).out));
}

TEST_F(OriginsHostTest, ListsAsAJsonArray) {
  HostRun run = kestrune({"origins", "list", "--json"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Json::array(), Json::parse(run.out, nullptr, false));
  ASSERT_EQ(0, kestrune({"origins", "add", "https://bank.example"}).status);
  ASSERT_EQ(0, kestrune({"origins", "add", "http://[::1]:8080"}).status);
  run = kestrune({"origins", "list", "--json"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Json::parse(R"(["http://[::1]:8080", "https://bank.example"])"),
            Json::parse(run.out, nullptr, false));
  EXPECT_EQ(1u, lines(run.out).size()) << run.out;
}

// Each add reads the list, adds one origin and writes the list: without the file's lock, runs
// at the same moment would write over each other's additions.
TEST_F(OriginsHostTest, AddsAtTheSameMomentAllLand) {
  constexpr int kRuns = 12;
  std::vector<std::future<HostRun>> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(std::async(std::launch::async, [this, i] {
      return kestrune({"origins", "add", "http://127.0.0.1:" + std::to_string(8000 + i)});
    }));
  }
  for (auto& run : runs) {
    const HostRun done = run.get();
    EXPECT_EQ(0, done.status) << done.err;
  }
  EXPECT_EQ(std::size_t{kRuns}, lines(kestrune({"origins", "list"}).out).size());
}

}  // namespace
}  // namespace kestrune::testing
