// kestrune provider: providers.json under the test's own XDG_CONFIG_HOME is rewritten whole,
// keeping what the command doesn't touch, and never when it can't be read as it should.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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

constexpr const char* kEnhanced = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr const char* kBase = "Microsoft Base Cryptographic Provider v1.0";

class ProviderHostTest : public ::testing::Test {
 protected:
  HostRun kestrune(const Args& args) {
    return runHost(args, {}, {{"XDG_CONFIG_HOME", dir.path() + "/config"}});
  }
  std::string folder() const { return dir.path() + "/config/kestrune"; }
  std::string file() const { return folder() + "/providers.json"; }
  void writeText(const std::string& text) {
    fs::create_directories(folder());
    writeFile(file(), std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  std::string readText() const {
    const std::vector<std::uint8_t> bytes = readFile(file());
    return {bytes.begin(), bytes.end()};
  }

  TempDir dir;
};

TEST_F(ProviderHostTest, AddAndRemoveKeepTheOtherEntries) {
  // An entry of someone else's, with a field this version doesn't know, and one it ignores.
  writeText(R"({"Existing": {"pkcs11": "/opt/card/p11.so", "note": "kept"}, "Odd": 7})");
  HostRun run = kestrune({"provider", "add", "Card", "--pkcs11", "m.so", "--token", "T1"});
  ASSERT_EQ(0, run.status) << run.err;
  // The file's own order stays; the new entry comes last.
  const std::string text = readText();
  EXPECT_LT(text.find("Existing"), text.find("Odd"));
  EXPECT_LT(text.find("Odd"), text.find("Card"));
  EXPECT_EQ(Json::parse(R"({"Existing": {"pkcs11": "/opt/card/p11.so", "note": "kept"},
                            "Odd": 7, "Card": {"pkcs11": "m.so", "token": "T1"}})"),
            Json::parse(readText()));
  struct stat info {};
  ASSERT_EQ(0, stat(file().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);

  run = kestrune({"provider", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Args{std::string(kEnhanced) + "\tbuilt-in software provider",
                  std::string(kBase) + "\tbuilt-in software provider",
                  "Existing\tpkcs11 /opt/card/p11.so\tfirst token present",
                  "Odd\tignored: not {\"pkcs11\": MODULE, \"token\": LABEL}",
                  "Card\tpkcs11 m.so\ttoken T1"}),
            lines(run.out));

  run = kestrune({"provider", "remove", "Existing"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Json::parse(R"({"Odd": 7, "Card": {"pkcs11": "m.so", "token": "T1"}})"),
            Json::parse(readText()));
  // Nothing is left beside the file but its lock: each temporary file became it. (The lock
  // file stays: removing it would let a waiting writer lock a file no newcomer sees.)
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((Args{".providers.json.lock", "providers.json"}), names);
}

TEST_F(ProviderHostTest, AFirstAddCreatesThePrivateFolderAndFile) {
  const HostRun run = kestrune({"provider", "add", "Card", "--pkcs11", "m.so"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Json::parse(R"({"Card": {"pkcs11": "m.so"}})"), Json::parse(readText()));
  struct stat info {};
  ASSERT_EQ(0, stat(folder().c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777);
}

TEST_F(ProviderHostTest, AFileThatCannotBeReadAsItShouldIsLeftUntouched) {
  const std::string cases[] = {
      R"({"Card": {"pkcs11": "m.so"})",                                        // cut short
      R"([{"Card": {"pkcs11": "m.so"}}])",                                     // not an object
      "\xff\xfe{}",                                                            // not UTF-8
      R"({"Card": )" + std::string(5000, '[') + std::string(5000, ']') + "}",  // nested deep
      R"({"Card": {"pkcs11": ")" + std::string(70000, 'm') + R"("}})",         // over the bound
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    writeText(text);
    for (const Args& args : {Args{"provider", "add", "Other", "--pkcs11", "o.so"},
                             Args{"provider", "remove", "Card"}}) {
      const HostRun run = kestrune(args);
      EXPECT_EQ(1, run.status) << run.err;
      EXPECT_NE(std::string::npos, run.err.find("left unchanged")) << run.err;
      EXPECT_EQ(text, readText());
    }
    const HostRun run = kestrune({"provider", "list"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(2u, lines(run.out).size()) << run.out;  // the built-in names still
  }
}

// A providers.json linked from elsewhere stays a link: the change is refused rather than put in
// a plain file in its place, away from the file the user keeps.
TEST_F(ProviderHostTest, ALinkedFileIsNotReplaced) {
  const std::string target = dir.path() + "/kept.json";
  const std::string text = R"({"Card": {"pkcs11": "m.so"}})";
  writeFile(target, std::vector<std::uint8_t>(text.begin(), text.end()));
  fs::create_directories(folder());
  fs::create_symlink(target, file());
  const HostRun run = kestrune({"provider", "add", "Other", "--pkcs11", "o.so"});
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("symbolic link")) << run.err;
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ(text, readText());
  EXPECT_EQ(0, kestrune({"provider", "list"}).status);  // still read through the link
}

TEST_F(ProviderHostTest, RefusesBuiltInNamesAndBadEntries) {
  writeText(R"({"Card": {"pkcs11": "m.so"}})");
  const std::string before = readText();
  struct Case {
    const char* what;
    Args args;
    int status;
  } const cases[] = {
      {"built-in name", {"provider", "add", kEnhanced, "--pkcs11", "m.so"}, 2},
      {"built-in name in another case",
       {"provider", "add", "MICROSOFT BASE CRYPTOGRAPHIC PROVIDER V1.0", "--pkcs11", "m.so"},
       2},
      {"removing a built-in", {"provider", "remove", kBase}, 1},
      {"taken name", {"provider", "add", "Card", "--pkcs11", "other.so"}, 1},
      {"absent name", {"provider", "remove", "Nobody"}, 1},
      {"no module", {"provider", "add", "New"}, 2},
      {"empty name", {"provider", "add", "", "--pkcs11", "m.so"}, 2},
      {"control character", {"provider", "add", "A\nB", "--pkcs11", "m.so"}, 2},
      {"label longer than a token's",
       {"provider", "add", "New", "--pkcs11", "m.so", "--token", std::string(33, 'L')},
       2},
      {"not UTF-8", {"provider", "add", "New\xff", "--pkcs11", "m.so"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HostRun run = kestrune(c.args);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(before, readText());
  }
}

}  // namespace
}  // namespace kestrune::testing
