// kestrune serve, the real program: pages' requests as a browser sends them (Origin, Host,
// preflights) over HTTP, answered by a worker process per session on a SoftHSM2 token.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/host/agent_process.h"

namespace kestrune::testing {
namespace {

// The agent as pages use it, the user consenting.
class AgentServeHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared = std::make_unique<SharedAgent>("allow", std::vector<std::string>{});
  }
  static void TearDownTestSuite() { shared.reset(); }
  static int port() { return shared->agent().port(); }
  static inline std::unique_ptr<SharedAgent> shared;
};

TEST_F(AgentServeHost, SessionCallsTheControlUntilDeleted) {
  std::string id;
  {
    PageSession page(port(), kBank);
    id = page.id();
    EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
    EXPECT_EQ(0, page.result("checkPassword", {kUserPin}));
    EXPECT_EQ(0, page.result("makeCard", {"U001", "ORG01"}));
    const Reply sid = page.call("getSID1");
    EXPECT_EQ(200, sid.status);
    EXPECT_EQ(Json::parse(R"({"method": "getSID1", "result": "U001", "lastError": 0})"),
              Json({{"method", sid.body["method"]},
                    {"result", sid.body["result"]},
                    {"lastError", sid.body["lastError"]}}));
    EXPECT_EQ(kBank, sid.header("Access-Control-Allow-Origin"));
  }
  // Deleted: the ID is no session any more.
  const Reply after = send(port(), "POST", "/v1/session/" + id + "/call", kBank,
                           R"({"method": "getSID1", "args": []})");
  EXPECT_EQ(404, after.status);
  EXPECT_EQ("unknown-session", after.body.value("error", ""));
  EXPECT_EQ(404, send(port(), "DELETE", "/v1/session/" + id, kBank).status);
  // No secret in the agent's log.
  EXPECT_EQ(std::string::npos, shared->agent().log().find(kUserPin));
}

TEST_F(AgentServeHost, OriginsHaveWorkersOfTheirOwn) {
  PageSession bank(port(), kBank);
  PageSession shop(port(), kShop);
  EXPECT_EQ(0, bank.result("loadLib", {"softhsm"}));
  EXPECT_EQ(0, shop.result("loadLib", {"softhsm"}));
  EXPECT_EQ(2u, workerPids(shared->agent().pid()).size());
  EXPECT_EQ(0, bank.result("checkPassword", {kUserPin}));
  EXPECT_EQ(0, bank.result("makeCard", {"U002", "ORG02"}));
  EXPECT_EQ(128u, bank.result("sign", {"abc"}).get<std::string>().size());
  // The bank's login is the bank's worker's: the shop's session is not logged in.
  const Reply shopSign = shop.call("sign", {"abc"});
  EXPECT_EQ(200, shopSign.status);
  EXPECT_EQ(10007, shopSign.body.value("lastError", -1)) << shopSign.body;
  // Nor may the shop use the bank's session by its ID.
  const Reply stolen = send(port(), "POST", "/v1/session/" + bank.id() + "/call", kShop,
                            R"({"method": "sign", "args": ["abc"]})");
  EXPECT_EQ(404, stolen.status);
  EXPECT_EQ("unknown-session", stolen.body.value("error", ""));
  EXPECT_EQ(404, send(port(), "DELETE", "/v1/session/" + bank.id(), kShop).status);
  EXPECT_EQ("U002", bank.result("getSID1"));
}

// Calls sent at once take turns: one runs, one waits, and a page that sends more is told the
// session is busy; every call made is answered as it was called.
TEST_F(AgentServeHost, ConcurrentCallsOfASessionTakeTurnsOrAreToldItIsBusy) {
  PageSession page(port(), kBank);
  EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
  const char* const methods[] = {"getSID1", "getSID2", "getCSN", "getType"};
  std::vector<std::thread> pages;
  std::vector<std::string> mismatches[4];
  int answered[4] = {};
  for (int i = 0; i < 4; ++i) {
    pages.emplace_back([&page, &methods, &mismatches, &answered, i] {
      for (int call = 0; call < 5; ++call) {
        const Reply reply = page.call(methods[i]);
        if (reply.status == 429 && reply.body.value("error", "") == "busy") continue;
        if (reply.status != 200 || reply.body.value("method", "") != methods[i]) {
          mismatches[i].push_back(reply.body.dump());
        }
        ++answered[i];
      }
    });
  }
  for (std::thread& each : pages) each.join();
  int total = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(mismatches[i].empty()) << methods[i];
    total += answered[i];
  }
  EXPECT_GE(total, 2);
  // Alone again, a page's call is answered.
  EXPECT_EQ(200, page.call("getSID1").status);
}

TEST_F(AgentServeHost, SessionEndsWithItsWorker) {
  PageSession page(port(), kBank);
  EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
  const std::vector<pid_t> workers = workerPids(shared->agent().pid());
  ASSERT_EQ(1u, workers.size());
  ASSERT_EQ(0, kill(workers.front(), SIGKILL));
  const Reply failed = page.call("getSID1");
  EXPECT_EQ(502, failed.status);
  EXPECT_EQ("worker-failed", failed.body.value("error", ""));
  EXPECT_EQ(kBank, failed.header("Access-Control-Allow-Origin"));
  const Reply ended = page.call("getSID1");
  EXPECT_EQ(404, ended.status);
  EXPECT_EQ("unknown-session", ended.body.value("error", ""));
  EXPECT_TRUE(workerPids(shared->agent().pid()).empty());
}

TEST_F(AgentServeHost, PreflightsAnswerAllowedOriginsOnly) {
  const httplib::Headers asking = {{"Access-Control-Request-Method", "POST"},
                                   {"Access-Control-Request-Headers", "content-type"},
                                   {"Access-Control-Request-Private-Network", "true"}};
  const Reply allowed = send(port(), "OPTIONS", "/v1/session", kBank, {}, asking);
  EXPECT_EQ(204, allowed.status);
  EXPECT_EQ(kBank, allowed.header("Access-Control-Allow-Origin"));
  EXPECT_EQ("Origin", allowed.header("Vary"));
  EXPECT_EQ("GET, POST, DELETE", allowed.header("Access-Control-Allow-Methods"));
  EXPECT_EQ("Content-Type", allowed.header("Access-Control-Allow-Headers"));
  EXPECT_EQ("600", allowed.header("Access-Control-Max-Age"));
  EXPECT_EQ("true", allowed.header("Access-Control-Allow-Private-Network"));
  const Reply withoutPna = send(port(), "OPTIONS", "/kestrune.js", kShop);
  EXPECT_EQ(204, withoutPna.status);
  EXPECT_FALSE(withoutPna.header("Access-Control-Allow-Private-Network"));

  struct Case {
    const char* name;
    std::string method;
    std::string path;
    const char* origin;
    httplib::Headers headers;
    const char* error;
  };
  const Case cases[] = {
      {"preflight of another origin", "OPTIONS", "/v1/session", kEvil, asking, "origin-refused"},
      {"preflight of a null origin", "OPTIONS", "/v1/session", "null", asking, "origin-refused"},
      {"session for another origin", "POST", "/v1/session", kEvil, {}, "origin-refused"},
      {"session without an origin", "POST", "/v1/session", "", {}, "origin-refused"},
      {"script for another origin", "GET", "/kestrune.js", kEvil, {}, "origin-refused"},
      {"rebound host name",
       "POST",
       "/v1/session",
       kBank,
       {{"Host", "evil.example:" + std::to_string(port())}},
       "host-refused"},
      {"another port", "POST", "/v1/session", kBank, {{"Host", "127.0.0.1:1"}}, "host-refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply refused = send(port(), c.method, c.path, c.origin, "", c.headers);
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ(c.error, refused.body.value("error", ""));
    EXPECT_FALSE(refused.header("Access-Control-Allow-Origin"));
    EXPECT_FALSE(refused.header("Access-Control-Allow-Private-Network"));
  }
}

TEST_F(AgentServeHost, BadRequestsAreRefusedAndTheSessionLives) {
  PageSession page(port(), kBank);
  const std::string callPath = "/v1/session/" + page.id() + "/call";
  struct Case {
    const char* name;
    std::string path;
    std::string body;
    int status;
    const char* error;
  };
  const Case cases[] = {
      {"not JSON", callPath, "{\"method\": ", 400, "bad-json"},
      {"not a call", callPath, R"(["getSID1"])", 400, "bad-call"},
      {"no such method", callPath, R"({"method": "format", "args": []})", 400, "bad-call"},
      {"a module by its path", callPath,
       Json{{"method", "loadLib"}, {"args", {softHsmModule()}}}.dump(), 403, "call-refused"},
      {"unknown session", "/v1/session/0123456789abcdef0123456789abcdef/call",
       R"({"method": "getSID1", "args": []})", 404, "unknown-session"},
      {"not a session ID", "/v1/session/../call", R"({"method": "getSID1", "args": []})", 404,
       "unknown-session"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply refused = send(port(), "POST", c.path, kBank, c.body);
    EXPECT_EQ(c.status, refused.status);
    EXPECT_EQ(c.error, refused.body.value("error", "")) << refused.body;
    EXPECT_EQ(kBank, refused.header("Access-Control-Allow-Origin"));
  }
  EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
}

// A page may open its session without a body: with none at all, as a raw request without
// Content-Length, or an empty one, both standing for {}. A body that is no JSON object is refused.
TEST_F(AgentServeHost, ASessionOpensWithoutABodyOrWithAnObjectOnly) {
  {
    SCOPED_TRACE("no Content-Length");
    RawConnection connection(port());
    ASSERT_TRUE(connection.sendAll(
        "POST /v1/session HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) +
        "\r\nOrigin: " + kBank + "\r\nConnection: close\r\n\r\n"));
    const std::string answer = connection.answer();
    EXPECT_EQ(201, statusOf(answer)) << answer;
    const Json body = Json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
    const std::string id = body.value("session", "");
    ASSERT_EQ(32u, id.size()) << answer;
    EXPECT_EQ(204, send(port(), "DELETE", "/v1/session/" + id, kBank).status);
  }
  for (const char* opening : {"", "{}", " { } ", R"({"purpose": "sign"})"}) {
    SCOPED_TRACE(opening);
    const Reply opened = send(port(), "POST", "/v1/session", kBank, opening);
    EXPECT_EQ(201, opened.status) << opened.body;
    const std::string id = opened.body.value("session", "");
    ASSERT_EQ(32u, id.size());
    EXPECT_EQ(204, send(port(), "DELETE", "/v1/session/" + id, kBank).status);
  }
  for (const char* opening : {"[]", "null", "\"{}\"", "0", "{", "{} {}", "\xff"}) {
    SCOPED_TRACE(opening);
    const Reply refused = send(port(), "POST", "/v1/session", kBank, opening);
    EXPECT_EQ(400, refused.status);
    EXPECT_EQ("bad-json", refused.body.value("error", "")) << refused.body;
    EXPECT_EQ(kBank, refused.header("Access-Control-Allow-Origin"));
  }
}

// A tight agent: four sessions at most, two of them an origin's.
class AgentShareHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared =
        std::make_unique<SharedAgent>("allow", std::vector<std::string>{"--max-sessions", "4"});
  }
  static void TearDownTestSuite() { shared.reset(); }
  static int port() { return shared->agent().port(); }
  static inline std::unique_ptr<SharedAgent> shared;
};

// An agent where a second of idleness ends a session.
class AgentLimitsHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared =
        std::make_unique<SharedAgent>("allow", std::vector<std::string>{"--idle-timeout", "1"});
  }
  static void TearDownTestSuite() { shared.reset(); }
  static int port() { return shared->agent().port(); }
  static inline std::unique_ptr<SharedAgent> shared;
};

// An origin holds half of the agent's sessions at most: its next one takes the place of its own
// longest idle one (a reloaded page's, left behind), and the other half stays for the others.
TEST_F(AgentShareHost, AnOriginHoldsHalfTheSessionsAndItsNextTakesItsIdleOne) {
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    const Reply opened = send(port(), "POST", "/v1/session", kBank, "");
    ASSERT_EQ(201, opened.status) << opened.body;
    ids.push_back(opened.body.value("session", ""));
  }
  // The first two gave way to the last two.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(i);
    const Reply reply = send(port(), "POST", "/v1/session/" + ids[i] + "/call", kBank,
                             R"({"method": "TV_GETVersion", "args": [0]})");
    EXPECT_EQ(i < 2 ? 404 : 200, reply.status) << reply.body;
  }
  {
    PageSession shop(port(), kShop);
    PageSession shopToo(port(), kShop);
    EXPECT_EQ(200, shop.call("TV_GETVersion", {0}).status);
    EXPECT_EQ(200, shopToo.call("TV_GETVersion", {0}).status);
    // The bank still opens sessions, in its own half.
    const Reply again = send(port(), "POST", "/v1/session", kBank, "");
    EXPECT_EQ(201, again.status);
    ids.push_back(again.body.value("session", ""));
  }
  for (const std::string& id : ids) send(port(), "DELETE", "/v1/session/" + id, kBank);
}

// A session left idle ends, and its worker with it; watched by its own worker, never by
// another session's end.
TEST_F(AgentLimitsHost, IdleSessionsEnd) {
  const std::vector<pid_t> before = workerPids(shared->agent().pid());
  PageSession idle(port(), kBank);
  EXPECT_EQ(0, idle.result("loadLib", {"softhsm"}));
  std::vector<pid_t> workers = workerPids(shared->agent().pid());
  std::erase_if(workers, [&before](pid_t pid) {
    return std::find(before.begin(), before.end(), pid) != before.end();
  });
  ASSERT_EQ(1u, workers.size());
  // Nothing to wait on but the agent's clock: the worker ends when the session does (looked
  // for every 50 ms, a minute at most).
  for (int i = 0; i < 1200 && processExists(workers.front()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(processExists(workers.front()));
  const Reply ended = idle.call("getSID1");
  EXPECT_EQ(404, ended.status);
  EXPECT_EQ("unknown-session", ended.body.value("error", ""));
}

// The agent with the user refusing.
class AgentConsentHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared = std::make_unique<SharedAgent>("deny", std::vector<std::string>{});
  }
  static void TearDownTestSuite() { shared.reset(); }
  static int port() { return shared->agent().port(); }
  static inline std::unique_ptr<SharedAgent> shared;
};

TEST_F(AgentConsentHost, RefusedCallsAreNotMade) {
  // The token personalised outside the agent.
  const std::string script = Json::array({"loadLib", softHsmModule()}).dump() + "\n" +
                             Json::array({"checkPassword", kUserPin}).dump() + "\n" +
                             Json::array({"makeCard", "U001", "ORG01"}).dump() + "\n";
  ASSERT_EQ(0, runHost({"script"}, script).status);

  PageSession page(port(), kBank);
  EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
  EXPECT_EQ("U001", page.result("getSID1"));
  for (const auto& [method, args] :
       std::vector<std::pair<const char*, Json>>{{"checkPassword", {kUserPin}},
                                                 {"setPassword", {kUserPin, "654321"}},
                                                 {"setSID", {"U666", "ORG666"}},
                                                 {"sign", {"abc"}}}) {
    SCOPED_TRACE(method);
    const Reply refused = page.call(method, args);
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("consent-refused", refused.body.value("error", ""));
  }
  // The token is as it was: the old PIN and identity.
  const HostRun check =
      runHost({"script"}, Json::array({"loadLib", softHsmModule()}).dump() + "\n" +
                              Json::array({"checkPassword", kUserPin}).dump() + "\n" +
                              Json::array({"getSID1"}).dump() + "\n");
  const std::vector<std::string> answers = lines(check.out);
  ASSERT_EQ(3u, answers.size()) << check.out << check.err;
  EXPECT_EQ(0, Json::parse(answers[1]).value("lastError", -1));
  EXPECT_EQ("U001", Json::parse(answers[2]).value("result", ""));
}

// A method as `kestrune methods` lists it: its name and its parameters' names and kinds.
struct ListedMethod {
  std::string name;
  std::vector<std::pair<std::string, std::string>> parameters;  // name, "text" or "I4"
};

// listedMethods reads the interface from the program: "18 loadLib(libname: text) -> I4 rtn".
std::vector<ListedMethod> listedMethods() {
  const HostRun run = runHost({"methods"});
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<ListedMethod> listed;
  for (const std::string& line : lines(run.out)) {
    const std::size_t open = line.find('(');
    const std::size_t close = line.find(')');
    const std::size_t space = line.find(' ');
    if (open == std::string::npos || close == std::string::npos || space > open) {
      ADD_FAILURE() << "not a method line: " << line;
      continue;
    }
    ListedMethod method{line.substr(space + 1, open - space - 1), {}};
    std::string list = line.substr(open + 1, close - open - 1);
    while (!list.empty()) {
      const std::size_t comma = list.find(", ");
      const std::string parameter = list.substr(0, comma);
      const std::size_t colon = parameter.find(": ");
      method.parameters.emplace_back(parameter.substr(0, colon), parameter.substr(colon + 2));
      list = comma == std::string::npos ? "" : list.substr(comma + 2);
    }
    listed.push_back(std::move(method));
  }
  return listed;
}

// argumentsFor gives each parameter a value the worker takes: the token's module, a file in the
// origin's folder, an authority nobody listens for, a 0 or a short text.
Json argumentsFor(const ListedMethod& method) {
  Json args = Json::array();
  for (const auto& [name, kind] : method.parameters) {
    if (kind == "I4") {
      args.push_back(0);
    } else if (name == "libname") {
      args.push_back("softhsm");
    } else if (name == "caUrl") {
      args.push_back("http://127.0.0.1:1/");
    } else if (name == "outFile" || name == "cafile" || name == "certfile") {
      args.push_back("walk.der");
    } else {
      args.push_back("x");
    }
  }
  return args;
}

// Every call that changes the token, changes the certificate at the authority, signs or takes
// a PIN is refused before it reaches the worker: the first session's worker is killed, so a
// call that got that far would end the session instead (worker-failed). Every other call is
// made in a second session.
TEST_F(AgentConsentHost, EveryCallThatChangesTheTokenOrSignsIsRefusedBeforeTheWorker) {
  const std::set<std::string> asking = {
      "checkPassword",
      "setPassword",
      "makeCard",
      "setSID",
      "setCardSN",
      "sign",
      "signB64",
      "signHash",
      "FEDIMessageSign",
      "FEDIMessageSignWithCSP",
      "FEDIMessageSignWithCSP_Init",
      "FEDIMessageSignWithCSP_Update",
      "newCertificate",
      "extendCertificate",
      "revokeCertificate",
      "queryCertificate",
      "makeRequestCert",
      "loadCert",
      "loadCertB64",
      "loadCACert",
      "loadCACertB64",
      "loadMultiCertB64",
  };
  const std::vector<ListedMethod> all = listedMethods();
  ASSERT_EQ(59u, all.size());

  PageSession withoutWorker(port(), kBank);
  const std::vector<pid_t> workers = workerPids(shared->agent().pid());
  ASSERT_EQ(1u, workers.size());
  ASSERT_EQ(0, kill(workers.front(), SIGKILL));
  std::size_t refusedCalls = 0;
  for (const ListedMethod& method : all) {
    if (asking.count(method.name) == 0) continue;
    SCOPED_TRACE(method.name);
    const Reply refused = withoutWorker.call(method.name, argumentsFor(method));
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("consent-refused", refused.body.value("error", "")) << refused.body;
    EXPECT_NE(std::string::npos, refused.body.value("text", "").find("asking again is possible"))
        << refused.body;
    ++refusedCalls;
  }
  EXPECT_EQ(asking.size(), refusedCalls);
  // The worker was gone all along: the first call that reaches it finds that out.
  const Reply gone = withoutWorker.call("getSID1");
  EXPECT_EQ(502, gone.status);
  EXPECT_EQ("worker-failed", gone.body.value("error", ""));

  PageSession page(port(), kBank);
  for (const ListedMethod& method : all) {
    if (asking.count(method.name) != 0) continue;
    SCOPED_TRACE(method.name);
    const Reply made = page.call(method.name, argumentsFor(method));
    EXPECT_EQ(200, made.status) << made.body;
    EXPECT_EQ(method.name, made.body.value("method", "")) << made.body;
  }
}

// A page that opens a new session after the user said no is not asked again: the refusal is
// the origin's, for that kind of call, and says when asking is possible again. An agent of the
// test's own, which has refused nothing before.
TEST(AgentConsentMemoryHost, ARefusalOutlivesItsSession) {
  SharedAgent shared("deny", {});
  const int port = shared.agent().port();
  {
    PageSession first(port, kBank);
    const Reply refused =
        first.call("queryCertificate", {"http://127.0.0.1:1/", "CA", "FEDI", "1"});
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("the user refused the call; asking again is possible in 1 minute",
              refused.body.value("text", ""));
  }
  for (int reopened = 0; reopened < 3; ++reopened) {
    SCOPED_TRACE(reopened);
    PageSession again(port, kBank);
    const Reply refused = again.call("loadCertB64", {"AAAA"});
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("consent-refused", refused.body.value("error", ""));
    const std::string text = refused.body.value("text", "");
    EXPECT_EQ(0u, text.find("the user refused to let this origin store certificates on the "
                            "token; asking again is possible in "))
        << text;
  }
  // Another origin is asked for itself.
  PageSession shop(port, kShop);
  EXPECT_EQ("the user refused the call; asking again is possible in 1 minute",
            shop.call("loadCertB64", {"AAAA"}).body.value("text", ""));
}

TEST_F(AgentConsentHost, StopsCleanly) {
  PageSession page(port(), kBank);
  EXPECT_EQ(0, page.result("loadLib", {"softhsm"}));
  const std::vector<pid_t> workers = workerPids(shared->agent().pid());
  ASSERT_EQ(1u, workers.size());
  // The agent ends its sessions' workers and exits.
  EXPECT_EQ(0, shared->agent().stop());
  page.forget();
  EXPECT_FALSE(processExists(workers.front()));
}

// The allow-list is read again when it changes: origins added while the agent runs are
// answered, and a malformed file answers no origin (said once in the log).
TEST(AgentAllowListHost, ChangesTakeEffectWithoutARestart) {
  const SoftHsm token(1);
  const AgentHome home;
  AgentProcess agent(home, "allow", {});
  const char* const added = "https://added.example";
  EXPECT_EQ(403, send(agent.port(), "POST", "/v1/session", added, "").status);
  const HostRun run = runHost({"origins", "add", added}, {}, home.environment());
  ASSERT_EQ(0, run.status) << run.err;
  { PageSession page(agent.port(), added); }

  std::ofstream(home.path() + "/config/kestrune/origins.json")
      << R"({"origins": ["bank.example"]})";
  for (const char* origin : {kBank, added, kBank}) {
    SCOPED_TRACE(origin);
    const Reply refused = send(agent.port(), "POST", "/v1/session", origin, "");
    EXPECT_EQ(403, refused.status);
    EXPECT_FALSE(refused.header("Access-Control-Allow-Origin"));
  }
  const std::string log = agent.log();
  const std::string said = "origins.json can't be used";
  const std::size_t first = log.find(said);
  EXPECT_NE(std::string::npos, first) << log;
  EXPECT_EQ(std::string::npos, log.find(said, first + 1)) << log;
}

TEST(ServeCommandHost, ListensOnTheLoopbackAddressOnly) {
  for (const char* address : {"0.0.0.0:47011", "192.168.1.1:47011", "localhost:47011", "[::]:47011",
                              "127.0.0.1", "127.0.0.1:65536", "127.0.0.1:-1", "[::1]:x"}) {
    SCOPED_TRACE(address);
    const HostRun run = runHost({"serve", "--listen", address});
    EXPECT_EQ(2, run.status);
    EXPECT_TRUE(run.out.empty());
  }
}

// UnitHome is a user's XDG folders under a name with a space and a '%', which a unit must
// quote and keep from being read as a specifier ("%Z" is none, so systemd reports it when
// it is not written "%%Z").
class UnitHome {
 public:
  std::string base() const { return dir_.path() + "/home %Z"; }
  std::string configHome() const { return base() + "/config"; }
  std::string dataHome() const { return base() + "/data"; }
  std::string unitPath() const { return configHome() + "/systemd/user/kestrune.service"; }
  std::vector<EnvironmentChange> environment() const {
    return {{"XDG_CONFIG_HOME", configHome()}, {"XDG_DATA_HOME", dataHome()}};
  }
  // inUnit returns text as the unit writes it: '%' doubled.
  static std::string inUnit(std::string text) {
    for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 2)) {
      text.insert(at, 1, '%');
    }
    return text;
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

TEST(ServeCommandHost, InstallsTheUserUnitAndEnablesNothing) {
  const UnitHome home;
  const HostRun run =
      runHost({"serve", "--install-user-unit", "--listen", "[::1]:47012", "--max-sessions", "4"},
              {}, home.environment());
  ASSERT_EQ(0, run.status) << run.err;
  const std::string unit = readAll(home.unitPath());
  const std::string self = std::filesystem::canonical(KESTRUNE_HOST_PATH).string();
  EXPECT_NE(std::string::npos,
            unit.find("\nExecStart=\"" + self + "\" serve --listen [::1]:47012 "))
      << unit;
  const std::string config = UnitHome::inUnit(home.configHome());
  const std::string data = UnitHome::inUnit(home.dataHome());
  const std::string kLines[] = {
      "PartOf=graphical-session.target",
      "After=graphical-session.target",
      "WantedBy=graphical-session.target",
      "Environment=\"XDG_CONFIG_HOME=" + config + "\" \"XDG_DATA_HOME=" + data + "\"",
      "ReadWritePaths=\"" + config + "/kestrune\" \"" + data + "/kestrune\"",
      // 512 MB and 64 tasks for the agent, 64 MB and 16 tasks for each of 4 sessions.
      "MemoryMax=768M",
      "TasksMax=128",
      "NoNewPrivileges=yes",
      "PrivateUsers=yes",
      "ProtectSystem=strict",
      "PrivateTmp=yes",
      "ProtectKernelTunables=yes",
      "ProtectControlGroups=yes",
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK",
      "LockPersonality=yes",
      "RestrictRealtime=yes",
      "SystemCallArchitectures=native",
      "UMask=0077",
      "LimitCORE=0",
  };
  for (const std::string& line : kLines) {
    SCOPED_TRACE(line);
    EXPECT_NE(std::string::npos, unit.find("\n" + line + "\n")) << unit;
  }
  EXPECT_EQ(std::string::npos, unit.find("default.target")) << unit;
  // Folders in ReadWritePaths= must be there when the service starts.
  for (const std::string& folder : {home.configHome(), home.dataHome()}) {
    SCOPED_TRACE(folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/kestrune"));
  }
  for (const char* said :
       {"systemctl --user daemon-reload", "systemctl --user enable --now kestrune.service",
        "systemctl --user status kestrune.service",
        "systemd-analyze --user security kestrune.service", "systemctl --user show-environment",
        "dbus-update-activation-environment --systemd DISPLAY WAYLAND_DISPLAY"}) {
    SCOPED_TRACE(said);
    EXPECT_NE(std::string::npos, run.out.find(said)) << run.out;
  }
}

// systemd's own reading of the unit: every line known and parsed (a path it would not take as
// written, a stray specifier and an unknown setting are reported on standard error), and the
// sandbox's exposure as its security check rates it (0 to 100; this unit is at 49, "OK").
TEST(ServeCommandHost, TheUserUnitPassesSystemdsChecks) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (::access(analyze.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << analyze;
  const UnitHome home;
  const HostRun run = runHost({"serve", "--install-user-unit"}, {}, home.environment());
  ASSERT_EQ(0, run.status) << run.err;
  // A user manager's tools look for its runtime folder.
  const std::string runtime = home.path() + "/run";
  std::filesystem::create_directory(runtime);
  const std::vector<EnvironmentChange> environment = {{"XDG_RUNTIME_DIR", runtime}};
  const HostRun verify =
      runProgram(analyze, {"--user", "verify", home.unitPath()}, {}, environment);
  EXPECT_EQ(0, verify.status) << verify.err;
  EXPECT_EQ("", verify.err);
  const HostRun security = runProgram(
      analyze, {"--user", "security", "--offline=true", "--threshold=60", home.unitPath()}, {},
      environment);
  EXPECT_EQ(0, security.status) << security.out << security.err;
  EXPECT_EQ("", security.err);
  EXPECT_NE(std::string::npos, security.out.find("Overall exposure level")) << security.out;
}

TEST(ServeCommandHost, WritesNoUnitForFoldersItCantQuote) {
  const std::pair<const char*, const char*> kDataHomes[] = {
      {"a quote", "/q\"uote"},        {"an apostrophe", "/it's"},   {"a backslash", "/back\\slash"},
      {"a line feed", "/line\nfeed"}, {"a step up", "/up/../data"},
  };
  for (const auto& [name, dataHome] : kDataHomes) {
    SCOPED_TRACE(name);
    const UnitHome home;
    const HostRun run = runHost(
        {"serve", "--install-user-unit"}, {},
        {{"XDG_CONFIG_HOME", home.configHome()}, {"XDG_DATA_HOME", home.path() + dataHome}});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("can't be written in a unit")) << run.err;
    EXPECT_FALSE(std::filesystem::exists(home.unitPath()));
    EXPECT_FALSE(std::filesystem::exists(home.configHome() + "/kestrune"));
  }
}

}  // namespace
}  // namespace kestrune::testing
