// The CryptoAPI signing session through `kestrune script`: a card provider (a SoftHSM2 token
// named in providers.json with `kestrune provider add`) and the user's My store (the card's
// certificate added with `kestrune store add`), each signed message verified with
// `kestrune verify-edifact` against the X.509 certificate.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tests/host/openssl_tool.h"
#include "tests/support/softhsm.h"
#include "tests/support/test_token.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;

constexpr const char* kOrder = "UNH+1+ORDERS:D:96A:UN'BGM+220+PO1+9'UNT+3+1'";
constexpr const char* kInvoice = "UNH+2+INVOIC:D:96A:UN'BGM+380+INV1+9'MOA+203:5'UNT+4+2'";

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// How a card labels its key pair: softhsm2-util gives both halves one label; a personalised
// card labels them apart, and its public half is all a fresh process sees before login.
struct KeyLabels {
  const char* privateKey;
  const char* publicKey;
};

void PrintTo(const KeyLabels& labels, std::ostream* out) {
  *out << labels.privateKey << " / " << labels.publicKey;
}

class CspHost : public ::testing::TestWithParam<KeyLabels> {};

INSTANTIATE_TEST_SUITE_P(Labels, CspHost,
                         ::testing::Values(KeyLabels{"card-key", "card-key"},
                                           KeyLabels{"FEDICA.prikey", "FEDICA.pubkey"}),
                         [](const auto& info) { return info.index == 0 ? "One" : "Apart"; });

TEST_P(CspHost, ScriptSignsThroughTheCardProviderAndThroughMy) {
  const KeyLabels labels = GetParam();
  TempDir dir;
  SoftHsm hsm(1);
  const SelfSigned card = makeSelfSigned(dir.path(), "card", "/O=ORG01/CN=U001");
  ASSERT_EQ(0, std::system(("softhsm2-util --import " + card.keyPem + " --token token0 --label " +
                            labels.privateKey + " --id 0a0b --pin " + kUserPin + " >/dev/null")
                               .c_str()));
  if (std::string(labels.publicKey) != labels.privateKey)
    hsm.relabel(0, CKO_PUBLIC_KEY, labels.privateKey, labels.publicKey);
  hsm.createCertificate(0, "card-cert", fileBytes(card.certDer), {0x0A, 0x0B});
  const std::vector<EnvironmentChange> environment = {{"XDG_CONFIG_HOME", dir.path() + "/config"},
                                                      {"XDG_DATA_HOME", dir.path() + "/data"}};
  const auto kestrune = [&](const std::vector<std::string>& args, const std::string& input = {}) {
    return runHost(args, input, environment);
  };
  ASSERT_EQ(0,
            kestrune({"provider", "add", "Card", "--pkcs11", softHsmModule(), "--token", "token0"})
                .status);
  ASSERT_EQ(0, kestrune({"store", "add", "--store", "My", "--provider", "Card", "--container",
                         labels.privateKey, card.certDer})
                   .status);

  const std::string pin = kUserPin;
  const std::vector<Json> calls = {
      {"FEDIMessageSignWithCSP_Init", "CN=U001", "", "Card", pin, 0, 0},
      {"FEDIMessageSignWithCSP_Update", kOrder},
      {"FEDIMessageSignWithCSP_Update", kInvoice},
      {"getSID1"},
      {"FEDIMessageSignWithCSP_Final"},
      {"FEDIMessageSignWithCSP", kInvoice, "CN=U001", "O=ORG01", "", pin, 0, 0},
      {"FEDIMessageSignWithCSP_Update", kOrder},
  };
  std::string script;
  for (const Json& call : calls) script += call.dump() + "\n";
  const HostRun run = kestrune({"script"}, script);
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(std::string::npos, run.out.find(pin));
  const std::vector<std::string> answers = lines(run.out);
  ASSERT_EQ(calls.size(), answers.size()) << run.out;

  EXPECT_EQ(
      Json::parse(answers[0]),
      Json::parse(R"({"method": "FEDIMessageSignWithCSP_Init", "result": 0, "lastError": 0})"));
  for (const std::size_t signedAt : {1u, 2u, 5u}) {
    const Json answer = Json::parse(answers[signedAt]);
    SCOPED_TRACE(answer.dump());
    ASSERT_TRUE(answer["result"].is_string());
    EXPECT_EQ(0, answer["lastError"]);
    const std::string message = answer["result"];
    EXPECT_NE(std::string::npos, message.find("'USA+1:::8:1'USC+"));
    EXPECT_NE(std::string::npos, message.find("+3:::::ORG01::U001'"));
    const std::string file = dir.path() + "/signed-" + std::to_string(signedAt) + ".edi";
    std::ofstream(file, std::ios::binary) << message;
    const HostRun verified = kestrune({"verify-edifact", file, "--cert", card.certPem});
    EXPECT_EQ(0, verified.status) << verified.out << verified.err;
    EXPECT_EQ(0u, verified.out.find("OK: SHA-1 signature")) << verified.out;
  }
  EXPECT_EQ(Json::parse(answers[3]),
            Json::parse(R"({"method": "getSID1", "result": "U001", "lastError": 0})"));
  // The one-call form ended its own session: a further Update has none.
  EXPECT_EQ(
      Json::parse(answers[6]),
      Json::parse(
          R"({"method": "FEDIMessageSignWithCSP_Update", "result": null, "lastError": 12, "error": "a token object or a file could not be read"})"));
}

}  // namespace
}  // namespace kestrune::testing
