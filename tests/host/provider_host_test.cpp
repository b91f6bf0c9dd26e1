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
#include "tests/support/softhsm.h"
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
  const std::string module = softHsmModule();
  HostRun run = kestrune({"provider", "add", "Card", "--pkcs11", module, "--token", "T1"});
  ASSERT_EQ(0, run.status) << run.err;
  // The file's own order stays; the new entry comes last.
  const std::string text = readText();
  EXPECT_LT(text.find("Existing"), text.find("Odd"));
  EXPECT_LT(text.find("Odd"), text.find("Card"));
  Json expected = Json::parse(R"({"Existing": {"pkcs11": "/opt/card/p11.so", "note": "kept"},
                                 "Odd": 7})");
  expected["Card"] = {{"pkcs11", module}, {"token", "T1"}};
  EXPECT_EQ(expected, Json::parse(readText()));
  struct stat info {};
  ASSERT_EQ(0, stat(file().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);

  run = kestrune({"provider", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Args{std::string(kEnhanced) + "\tbuilt-in software provider",
                  std::string(kBase) + "\tbuilt-in software provider",
                  "Existing\tpkcs11 /opt/card/p11.so\tfirst token present",
                  "Odd\tignored: not {\"pkcs11\": MODULE, \"token\": LABEL}",
                  "Card\tpkcs11 " + module + "\ttoken T1"}),
            lines(run.out));

  run = kestrune({"provider", "remove", "Existing"});
  ASSERT_EQ(0, run.status) << run.err;
  expected.erase("Existing");
  EXPECT_EQ(expected, Json::parse(readText()));
  // Nothing is left beside the file but its lock: each temporary file became it. (The lock
  // file stays: removing it would let a waiting writer lock a file no newcomer sees.)
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((Args{".providers.json.lock", "providers.json"}), names);
}

TEST_F(ProviderHostTest, ListsAsOneJsonDocument) {
  writeText(R"({"Card": {"pkcs11": "/opt/card/p11.so", "token": "T1"},
                "Any": {"pkcs11": "libsofthsm2.so"},
                "Odd": 7,
                "microsoft base cryptographic provider v1.0": {"pkcs11": "/x.so"}})");
  const auto builtIn = [](const char* name) {
    return nlohmann::ordered_json{{"name", name},
                                  {"type", "builtIn"},
                                  {"module", nullptr},
                                  {"token", nullptr},
                                  {"shadowed", false}};
  };
  const auto expected = nlohmann::ordered_json::parse(R"([
      {"name": "Card", "type": "pkcs11", "module": "/opt/card/p11.so", "token": "T1",
       "shadowed": false},
      {"name": "Any", "type": "pkcs11", "module": "libsofthsm2.so", "token": null,
       "shadowed": false},
      {"name": "Odd", "type": "ignored", "module": null, "token": null, "shadowed": false},
      {"name": "microsoft base cryptographic provider v1.0", "type": "pkcs11", "module": "/x.so",
       "token": null, "shadowed": true}])");
  nlohmann::ordered_json all = nlohmann::ordered_json::array({builtIn(kEnhanced), builtIn(kBase)});
  all.insert(all.end(), expected.begin(), expected.end());

  HostRun run = kestrune({"provider", "list", "--json"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(all.dump(), nlohmann::ordered_json::parse(run.out).dump()) << run.out;

  // A file that can't be read leaves the built-in providers, and the status says it failed.
  writeText("{not json");
  run = kestrune({"provider", "list", "--json"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(nlohmann::ordered_json::array({builtIn(kEnhanced), builtIn(kBase)}).dump(),
            nlohmann::ordered_json::parse(run.out).dump())
      << run.out;
  EXPECT_NE(std::string::npos, run.err.find("is not a JSON object of providers")) << run.err;
}

TEST_F(ProviderHostTest, AFirstAddCreatesThePrivateFolderAndFile) {
  const HostRun run = kestrune({"provider", "add", "Card", "--pkcs11", softHsmModule()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Json({{"Card", {{"pkcs11", softHsmModule()}}}}), Json::parse(readText()));
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
    for (const Args& args : {Args{"provider", "add", "Other", "--pkcs11", softHsmModule()},
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
  const HostRun run = kestrune({"provider", "add", "Other", "--pkcs11", softHsmModule()});
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
      {"taken name", {"provider", "add", "Card", "--pkcs11", softHsmModule()}, 1},
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

// A module is added only when it loads and has the PKCS#11 entry point; otherwise the command
// says which file and why, and leaves providers.json as it was, unless --force adds it anyway.
TEST_F(ProviderHostTest, AddsOnlyAModuleThatLoadsAsPkcs11) {
  const std::string text = dir.path() + "/notes.txt";
  const std::string words = "not a library, only words\n";
  writeFile(text, std::vector<std::uint8_t>(words.begin(), words.end()));
  const std::string missing = dir.path() + "/missing.so";
  struct Case {
    const char* what;
    std::string module;
    const char* why;  // in the reason given; null when the module is accepted
  } const cases[] = {
      {"missing file", missing, "No such file"},
      {"text file", text, "does not load"},
      {"library without the entry point", "libz.so.1", "exports no C_GetFunctionList"},
      {"the C library", "libc.so.6", "exports no C_GetFunctionList"},
      {"SoftHSM2", softHsmModule(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(file());
    const HostRun run = kestrune({"provider", "add", "Card", "--pkcs11", c.module});
    if (c.why == nullptr) {
      EXPECT_EQ(0, run.status) << run.err;
      EXPECT_EQ(Json({{"Card", {{"pkcs11", c.module}}}}), Json::parse(readText()));
      continue;
    }
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.module)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.why)) << run.err;
    EXPECT_FALSE(fs::exists(file()));

    // --force adds it, with the reason as a warning.
    const HostRun forced = kestrune({"provider", "add", "Card", "--pkcs11", c.module, "--force"});
    EXPECT_EQ(0, forced.status) << forced.err;
    EXPECT_NE(std::string::npos, forced.err.find("warning")) << forced.err;
    EXPECT_NE(std::string::npos, forced.err.find(c.why)) << forced.err;
    EXPECT_EQ(Json({{"Card", {{"pkcs11", c.module}}}}), Json::parse(readText()));
  }
}

}  // namespace
}  // namespace kestrune::testing
