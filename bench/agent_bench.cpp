// A call through the local agent, as a page makes it (HTTP with keep-alive, the origin's
// session in its own control process), against the same call through `kestrune script` (one
// control process spoken to on its standard input): what the agent adds per call. getSID1
// shows the agent's fixed cost; sign shows it beside a token signature.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/agent_config.h"
#include "agent/agent_server.h"
#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "platform/child_process.h"
#include "tests/support/softhsm.h"

namespace kestrune::bench {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr char kOrigin[] = "http://127.0.0.1:8080";
constexpr char kSignText[] = "FEDI benchmark payload";
constexpr std::size_t kMaxAnswer = 1 << 20;

// A token with identifiers and a 1024-bit key pair; an agent with one session logged in on it
// through its page's origin; a `kestrune script` process logged in on the same token.
struct Bed {
  std::optional<testing::SoftHsm> hsm;
  std::string folder;
  std::unique_ptr<agent::AgentServer> agent;
  std::unique_ptr<httplib::Client> page;
  std::string callPath;
  platform::ChildProcess script;
  const char* failure = nullptr;

  Bed() {
    endSharedSession();
    hsm.emplace(1);
    hsm->generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 1024);
    hsm->createData(0, {.label = "EOISID1", .value = textWithZero("U001")});
    hsm->createData(0, {.label = "EOISID2", .value = textWithZero("ORG01")});
    folder = hsm->dir() + "/agent";
    // checkPassword and sign ask for consent; the benchmark is the user who agrees.
    setenv("KESTRUNE_CONSENT", "allow", 1);
    failure = startAgent();
    if (failure == nullptr) failure = startScript();
  }

  const char* startAgent() {
    agent::AgentOptions options;
    options.port = 0;
    options.requestsPerSecond = 0;
    options.workerCommand = {KESTRUNE_HOST_PATH, "agent-worker"};
    options.originsFile = folder + "/origins.json";
    options.agentConfig = folder + "/agent.json";
    options.originsDataDir = folder + "/origins";
    std::string why;
    if (!agent::saveOrigins(options.originsFile, {kOrigin}, why)) return "cannot write origins";
    agent = std::make_unique<agent::AgentServer>(options);
    if (!agent->start(why)) return "the agent does not start";
    page = std::make_unique<httplib::Client>("127.0.0.1", agent->port());
    page->set_keep_alive(true);
    page->set_tcp_nodelay(true);  // as browsers do
    page->set_default_headers({{"Origin", kOrigin}});
    const auto opened = page->Post("/v1/session", "", "application/json");
    if (!opened || opened->status != 201) return "no session";
    callPath =
        "/v1/session/" + Json::parse(opened->body).at("session").get<std::string>() + "/call";
    if (!agentCall("loadLib", {"softhsm2"}) || !agentCall("checkPassword", {testing::kUserPin})) {
      return "the agent's session does not log in";
    }
    return nullptr;
  }

  const char* startScript() {
    std::string why;
    if (!script.start({KESTRUNE_HOST_PATH, "script"}, {}, "", false, why)) {
      return "kestrune script does not start";
    }
    if (!scriptCall(Json::array({"loadLib", testing::softHsmModule()})) ||
        !scriptCall(Json::array({"checkPassword", testing::kUserPin}))) {
      return "kestrune script does not log in";
    }
    return nullptr;
  }

  // Each call must answer lastError 0, as the page and the script would check.
  bool agentCall(const char* method, Json args) {
    const Json body = {{"method", method}, {"args", std::move(args)}};
    const auto answer = page->Post(callPath, body.dump(), "application/json");
    return answer && answer->status == 200 &&
           Json::parse(answer->body, nullptr, false).value("lastError", -1) == 0;
  }
  bool scriptCall(const Json& line) {
    std::string answer;
    return script.writeLine(line.dump()) == platform::ChildProcess::Status::ok &&
           script.readLine(answer, 60s, kMaxAnswer) == platform::ChildProcess::Status::ok &&
           Json::parse(answer, nullptr, false).value("lastError", -1) == 0;
  }
};

Bed& bed() {
  static Bed b;
  return b;
}

void BM_AgentGetSid1(benchmark::State& state) {
  Bed& b = bed();
  if (b.failure != nullptr) {
    state.SkipWithError(b.failure);
    return;
  }
  const Json line = Json::array({"getSID1"});
  runPaired(
      state,
      [&]() -> const char* { return b.agentCall("getSID1", Json::array()) ? nullptr : "agent"; },
      [&]() -> const char* { return b.scriptCall(line) ? nullptr : "script"; });
}
BENCHMARK(BM_AgentGetSid1)->UseManualTime()->Repetitions(3);

void BM_AgentSign(benchmark::State& state) {
  Bed& b = bed();
  if (b.failure != nullptr) {
    state.SkipWithError(b.failure);
    return;
  }
  const Json line = Json::array({"sign", kSignText});
  runPaired(
      state,
      [&]() -> const char* {
        return b.agentCall("sign", Json::array({kSignText})) ? nullptr : "agent";
      },
      [&]() -> const char* { return b.scriptCall(line) ? nullptr : "script"; });
}
BENCHMARK(BM_AgentSign)->UseManualTime()->Repetitions(3);

[[maybe_unused]] const bool registered = [] {
  registerAddedTime("BM_AgentGetSid1", 1000);
  registerPairedRatio("BM_AgentSign", 1.2);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
