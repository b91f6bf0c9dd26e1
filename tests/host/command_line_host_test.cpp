// kestrune's command line as beside the platform's tools: --version, the short usage when a
// command is missing, an unknown command named with the nearest known one, and the interface
// as one JSON document.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tools/command_line/command_words.h"

namespace kestrune::testing {
namespace {

using Args = std::vector<std::string>;
using Json = nlohmann::ordered_json;

constexpr const char* kTopUsage = "Usage: kestrune COMMAND [OPTIONS] [ARGUMENTS]\n";
constexpr const char* kStoreUsage = "Usage: kestrune store COMMAND [OPTIONS] [ARGUMENTS]\n";

TEST(HostCommandLine, VersionIsTheProjectVersion) {
  const HostRun run = runHost({"--version"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("kestrune " KESTRUNE_TEST_VERSION "\n", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(KESTRUNE_TEST_VERSION, command_line::projectVersion());
}

TEST(HostCommandLine, MissingOrUnknownCommandsAreNamedWithTheUsage) {
  struct Case {
    Args args;
    std::string firstLine;  // of standard error
    const char* usage;
  } const cases[] = {
      {{}, kTopUsage, kTopUsage},
      {{"frobnicate"}, "kestrune: unknown command 'frobnicate'\n", kTopUsage},
      {{"stor"}, "kestrune: unknown command 'stor'; did you mean 'store'?\n", kTopUsage},
      {{"methdos"}, "kestrune: unknown command 'methdos'; did you mean 'methods'?\n", kTopUsage},
      {{"Explian"}, "kestrune: unknown command 'Explian'; did you mean 'explain'?\n", kTopUsage},
      // A hidden command is taken when spelt right but never offered.
      {{"agent-workr"}, "kestrune: unknown command 'agent-workr'\n", kTopUsage},
      {{"--frobnicate"},
       "kestrune: unknown option '--frobnicate'; a command is wanted here\n",
       kTopUsage},
      {{"store"}, kStoreUsage, kStoreUsage},
      {{"store", "lst"},
       "kestrune store: unknown command 'lst'; did you mean 'list'?\n",
       kStoreUsage},
      {{"provider", "delete"},
       "kestrune provider: unknown command 'delete'\n",
       "Usage: kestrune provider COMMAND [OPTIONS] [ARGUMENTS]\n"},
      // What the terminal would take for control sequences is shown escaped.
      {{"\x1b[2Jx\n"}, "kestrune: unknown command '\\x1B[2Jx\\x0A'\n", kTopUsage},
  };
  for (const Case& c : cases) {
    const std::string shown = c.args.empty() ? "(none)" : c.args.back();
    SCOPED_TRACE(shown);
    const HostRun run = runHost(c.args);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    const std::vector<std::string> said = lines(run.err);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(c.firstLine, said.front() + "\n");
    EXPECT_NE(std::string::npos, run.err.find(c.usage)) << run.err;
  }
  // The short usage names every command help shows, in its order.
  std::string listed;
  bool inCommands = false;
  for (const std::string& line : lines(runHost({"--help"}).out)) {
    if (inCommands && line.starts_with("  ")) {
      const std::size_t start = line.find_first_not_of(' ');
      listed += (listed.empty() ? "" : ", ") + line.substr(start, line.find(' ', start) - start);
    } else {
      inCommands = line == "Subcommands:";
    }
  }
  EXPECT_NE(std::string::npos, listed.find("methods, call, script")) << listed;
  EXPECT_NE(std::string::npos, runHost({}).err.find("\nCommands: " + listed + "\n")) << listed;
}

TEST(HostCommandLine, HelpStillExitsZero) {
  for (const Args& args : {Args{"--help"}, Args{"store", "--help"}, Args{"methods", "-h"}}) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const HostRun run = runHost(args);
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("Usage:")) << run.out;
  }
}

TEST(HostCommandLine, NearestNameIsOnlyOfferedForASlip) {
  const std::vector<std::string> names = {"list", "add", "remove", "methods", "store"};
  struct Case {
    const char* word;
    std::optional<std::string> nearest;
  } const cases[] = {
      {"lits", "list"},  // two letters swapped: one edit
      {"lst", "list"},       {"ad", "add"},
      {"REMOVE", "remove"},  {"remvoe", "remove"},
      {"methds", "methods"}, {"storee", "store"},
      {"stroe", "store"},    {"li", std::nullopt},
      {"xyz", std::nullopt}, {"frobnicate", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(c.nearest, command_line::nearestName(c.word, names));
  }
  EXPECT_EQ(0u, command_line::editDistance("Store", "store"));
  EXPECT_EQ(1u, command_line::editDistance("ab", "ba"));
  EXPECT_EQ(3u, command_line::editDistance("", "abc"));
  EXPECT_EQ(3u, command_line::editDistance("kitten", "sitting"));
}

TEST(HostCommandLine, MethodsAsJsonAgreeWithTheTextListing) {
  const HostRun run = runHost({"methods", "--json"});
  ASSERT_EQ(0, run.status) << run.err;
  const Json methods = Json::parse(run.out, nullptr, false);
  ASSERT_TRUE(methods.is_array()) << run.out;
  const std::vector<std::string> listed = lines(runHost({"methods"}).out);
  ASSERT_EQ(listed.size(), methods.size());
  for (std::size_t i = 0; i < methods.size(); ++i) {
    const Json& method = methods[i];
    SCOPED_TRACE(method.dump());
    std::vector<std::string> keys;
    for (const auto& item : method.items()) keys.push_back(item.key());
    EXPECT_EQ(
        (std::vector<std::string>{"dispid", "name", "parameters", "result", "effects", "needsPin"}),
        keys);
    // The text line begins "DISPID name(".
    EXPECT_EQ(0u, listed[i].find(std::to_string(method.value("dispid", 0)) + " " +
                                 method.value("name", std::string()) + "("));
  }

  const auto find = [&](const std::string& name) {
    for (const Json& method : methods) {
      if (method.value("name", std::string()) == name) return method;
    }
    return Json();
  };
  EXPECT_EQ(Json::parse(R"({"dispid": 18, "name": "loadLib",
                            "parameters": [{"name": "libname", "kind": "text"}],
                            "result": {"kind": "I4", "name": "rtn"},
                            "effects": ["configures"], "needsPin": false})"),
            find("loadLib"));
  EXPECT_EQ(Json::parse(R"({"dispid": 26, "name": "setTestVersion",
                            "parameters": [{"name": "iTest", "kind": "I4"}],
                            "result": {"kind": "none", "name": null},
                            "effects": ["configures"], "needsPin": false})"),
            find("setTestVersion"));
  // The PIN comes as a parameter, or through a login.
  struct Pin {
    const char* method;
    bool needed;
  } const pins[] = {{"checkPassword", true},
                    {"setPassword", true},
                    {"newCertificate", true},
                    {"FEDIMessageSignWithCSP", true},
                    {"FEDIMessageSignWithCSP_Init", true},
                    {"getErrorCode", false},
                    {"TV_GETVersion", false}};
  for (const Pin& pin : pins) {
    SCOPED_TRACE(pin.method);
    EXPECT_EQ(pin.needed, find(pin.method).value("needsPin", !pin.needed));
  }
  EXPECT_EQ(Json::array({"logsIn"}), find("checkPassword")["effects"]);
}

}  // namespace
}  // namespace kestrune::testing
