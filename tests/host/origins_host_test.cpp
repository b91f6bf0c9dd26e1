// kestrune origins: the agent's allow-list under the test's own XDG_CONFIG_HOME, taken as a
// user types origins and kept as browsers send them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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

}  // namespace
}  // namespace kestrune::testing
