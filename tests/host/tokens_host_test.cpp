// `kestrune tokens`: a module's slots and their tokens, numbered as setCurrentSlot takes them,
// as text and as JSON, for a module named by path or by p11-kit's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;

TEST(TokensHost, ListsTheSlotsAsSetCurrentSlotNumbersThem) {
  SoftHsm hsm(2);
  for (const std::string& module : {std::string(softHsmModule()), std::string("softhsm2")}) {
    SCOPED_TRACE(module);
    const HostRun run = runHost({"tokens", module});
    ASSERT_EQ(0, run.status) << run.err;
    const std::vector<std::string> shown = lines(run.out);
    ASSERT_EQ(4u, shown.size()) << run.out;
    for (const int i : {0, 1}) {
      const std::string start = "  slot " + std::to_string(i) + " (id ";
      EXPECT_EQ(0u, shown[1 + i].find(start)) << shown[1 + i];
      EXPECT_NE(std::string::npos, shown[1 + i].find("): token \"token" + std::to_string(i) +
                                                     "\", SoftHSM project SoftHSM v2, serial "))
          << shown[1 + i];
      EXPECT_TRUE(shown[1 + i].ends_with("; login required, user PIN set")) << shown[1 + i];
    }
    // SoftHSM2's spare slot holds a token nobody initialised.
    EXPECT_TRUE(shown[3].ends_with(": a token not initialised")) << shown[3];
  }

  const HostRun json = runHost({"tokens", "--json", softHsmModule()});
  ASSERT_EQ(0, json.status) << json.err;
  const Json modules = Json::parse(json.out);
  ASSERT_EQ(1u, modules.size());
  const Json& slots = modules[0].at("slots");
  ASSERT_EQ(3u, slots.size());
  for (const int i : {0, 1}) {
    EXPECT_EQ(i, slots[i].at("index"));
    EXPECT_EQ("token" + std::to_string(i), slots[i].at("token").at("label"));
    EXPECT_EQ(Json::array({"tokenInitialized", "loginRequired", "userPinInitialized"}),
              slots[i].at("token").at("flags"));
  }

  // The control's setCurrentSlot 1 opens the second token of the listing.
  const HostRun session =
      runHost({"script"}, R"(["loadLib", ")" + std::string(softHsmModule()) +
                              "\"]\n[\"setCurrentSlot\", 1]\n[\"checkPassword\", \"123456\"]\n");
  EXPECT_EQ(0, session.status) << session.err;
  EXPECT_EQ(std::string::npos, session.out.find("\"lastError\":1")) << session.out;
}

TEST(TokensHost, AModuleThatCannotBeAskedFailsNamingIt) {
  const HostRun run = runHost({"tokens", "/no/such/module.so"});
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("/no/such/module.so cannot be loaded: ")) << run.err;
  const HostRun json = runHost({"tokens", "--json", "/no/such/module.so"});
  EXPECT_EQ(1, json.status);
  const Json modules = Json::parse(json.out);
  ASSERT_EQ(1u, modules.size());
  EXPECT_TRUE(modules[0].contains("error")) << modules;
  EXPECT_FALSE(modules[0].contains("slots")) << modules;
}

}  // namespace
}  // namespace kestrune::testing
