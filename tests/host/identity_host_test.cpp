// kestrune script personalises a token and reads its identities back in one process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/control/identity_layouts.h"
#include "tests/host/host_runner.h"
#include "tests/host/token_modules.h"
#include "tests/support/opencryptoki.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;

std::vector<Json> runScript(const std::vector<Json>& calls,
                            const std::vector<EnvironmentChange>& environment = {}) {
  std::string script;
  for (const Json& call : calls) script += call.dump() + "\n";
  const HostRun run = runHost({"script"}, script, environment);
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<Json> answers;
  for (const std::string& line : lines(run.out)) answers.push_back(Json::parse(line));
  EXPECT_EQ(calls.size(), answers.size()) << run.out;
  return answers;
}

class PersonalisationHost : public ModuleHostTest {};
KESTRUNE_ON_EVERY_MODULE(PersonalisationHost);

TEST_P(PersonalisationHost, ScriptPersonalisesATokenAndReadsItBack) {
  const std::vector<Json> calls = {
      {"loadLib", module()},
      {"makeCard", "U001", "ORG01"},  // refused before checkPassword
      {"checkPassword", kUserPin},
      {"makeCard", "U001", "ORG01"},
      {"getType"},
      {"getSID1"},
      {"getSID2"},
      {"getCSN"},  // no certificate stored yet
      {"setCardSN", "CARD-0001"},
      {"getCardSN"},
      {"sign", "abc"},
      {"signHash", "900150983CD24FB0D6963F7D28E17F7"},
      {"setSID", "U002", "ORG02"},
      {"close"},
      {"getSID1"},  // reopens the session without a login
      {"sign", "abc"},
  };
  std::vector<Json> answers = runScript(calls);
  ASSERT_EQ(calls.size(), answers.size());

  // The signature is checked apart: it is new with every key pair.
  const Json& signature = answers[10];
  EXPECT_EQ(0, signature.value("lastError", -1));
  const std::string hex = signature.value("result", std::string());
  EXPECT_EQ(128u, hex.size());
  EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF")) << hex;
  answers[10].erase("result");

  const std::vector<Json> expected = {
      Json::parse(R"({"method": "loadLib", "result": 0, "lastError": 0})"),
      Json::parse(
          R"({"method": "makeCard", "result": 10007, "lastError": 10007, "error": "the PIN has not been verified: call checkPassword first"})"),
      Json::parse(R"({"method": "checkPassword", "result": 0, "lastError": 0})"),
      Json::parse(R"({"method": "makeCard", "result": 0, "lastError": 0})"),
      Json::parse(R"({"method": "getType", "result": "Linkway", "lastError": 0})"),
      Json::parse(R"({"method": "getSID1", "result": "U001", "lastError": 0})"),
      Json::parse(R"({"method": "getSID2", "result": "ORG01", "lastError": 0})"),
      Json::parse(
          R"({"method": "getCSN", "result": null, "lastError": 12, "error": "a token object or a file could not be read"})"),
      Json::parse(R"({"method": "setCardSN", "result": 0, "lastError": 0})"),
      Json::parse(R"({"method": "getCardSN", "result": "CARD-0001", "lastError": 0})"),
      Json::parse(R"({"method": "sign", "lastError": 0})"),
      Json::parse(
          R"({"method": "signHash", "result": null, "lastError": 4, "error": "an argument is malformed (bad hex, hash length or date), or no usable answer came"})"),
      Json::parse(R"({"method": "setSID", "result": 0, "lastError": 0})"),
      Json::parse(R"({"method": "close", "lastError": 0})"),
      Json::parse(R"({"method": "getSID1", "result": "U002", "lastError": 0})"),
      Json::parse(
          R"({"method": "sign", "result": null, "lastError": 10007, "error": "the PIN has not been verified: call checkPassword first"})"),
  };
  EXPECT_EQ(expected, answers);

  // The key stays on the token.
  EXPECT_EQ(Bytes{CK_FALSE}, token().attribute(0, "FEDICA.prikey", CKA_EXTRACTABLE));
  EXPECT_EQ(Bytes{CK_TRUE}, token().attribute(0, "FEDICA.prikey", CKA_SENSITIVE));
  EXPECT_EQ(CKR_KEY_UNEXTRACTABLE, token().wrapPrivateKey(0, "FEDICA.prikey"));
}

// A module that refuses CKA_EXTRACTABLE on generation (here: the proxy in front of
// opencryptoki refuses the first generation) still gets a key pair, made as before the
// attribute was asked for: opencryptoki's default leaves that key extractable.
TEST(OpenCryptokiHost, MakeCardOnAModuleRefusingTheAttributeKeepsTheModuleDefault) {
  OpenCryptoki token;
  if (!token.available()) GTEST_SKIP() << token.why();
  const std::vector<Json> answers = runScript(
      {{"loadLib", proxyModule()}, {"checkPassword", kUserPin}, {"makeCard", "U001", "ORG01"}},
      {{"KESTRUNE_P11PROXY_TARGET", openCryptokiModule()},
       {"KESTRUNE_P11PROXY_FAULTS", "C_GenerateKeyPair=0x12*1"}});
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(Json::parse(R"({"method": "makeCard", "result": 0, "lastError": 0})"), answers[2]);
  EXPECT_EQ(Bytes{CK_TRUE}, token.attribute(0, "FEDICA.prikey", CKA_EXTRACTABLE));
  EXPECT_EQ(CKR_OK, token.wrapPrivateKey(0, "FEDICA.prikey"));
}

// The identities of the three issuer layouts read through the host, as a page would read them.
TEST(IdentityHost, ScriptReadsTheIdentitiesOfEachIssuerLayout) {
  struct Case {
    const char* name;
    void (*layOut)(SoftHsm&);
    const char* type;
    const char* sid1;
    const char* sid2;
    const char* csn;
  };
  const Case cases[] = {
      {"SafeNet", [](SoftHsm& hsm) { layOutSafeNet(hsm, "SN0000042", "S001", "SORG"); }, "SafeNet",
       "S001", "SORG", "SN0000042"},
      {"TaiOne",
       [](SoftHsm& hsm) {
         layOutTaiOne(hsm, taiOneUserData("TORG", "T001", {0, 0, 0, 0, 0, 0, 1, 0}));
       },
       "TaiOne", "T001", "TORG", "256"},
      {"ZRML",
       [](SoftHsm& hsm) {
         layOutZrml(hsm, {.label = "ZRML card",
                          .commonName = "Z001",
                          .issuerOrganisation = "ZORG",
                          .serial = 10});
       },
       "ZRML", "Z001", "ZORG", "0A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SoftHsm hsm;
    c.layOut(hsm);
    const std::vector<Json> calls = {{"loadLib", softHsmModule()},
                                     {"checkPassword", kUserPin},
                                     {"getType"},
                                     {"getSID1"},
                                     {"getSID2"},
                                     {"getCSN"}};
    std::string script;
    for (const Json& call : calls) script += call.dump() + "\n";
    const HostRun run = runHost({"script"}, script);
    EXPECT_EQ(0, run.status) << run.err;
    std::vector<Json> answers;
    for (const std::string& line : lines(run.out)) answers.push_back(Json::parse(line));
    ASSERT_EQ(calls.size(), answers.size()) << run.out;
    const char* want[] = {c.type, c.sid1, c.sid2, c.csn};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(want[i], answers[2 + i].value("result", std::string("(none)"))) << answers[2 + i];
      EXPECT_EQ(0, answers[2 + i].value("lastError", -1)) << answers[2 + i];
    }
  }
}

}  // namespace
}  // namespace kestrune::testing
