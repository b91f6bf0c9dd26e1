// The local agent (`kestrune serve`): pages of allowed origins reach the control over HTTP on
// the loopback address.
//   POST   /v1/session            -> 201 {"session": "ID"}
//   POST   /v1/session/ID/call    {"method": "getSID1", "args": []}
//                                 -> 200 {"method", "result", "lastError", "messages"}
//   DELETE /v1/session/ID         -> 204
//   GET    /kestrune.js           the client module
// The agent's own errors: {"error": "code", "text": "why"} with the HTTP status of the code
// (bad-json 400, bad-call 400, origin-refused 403, host-refused 403, consent-refused 403,
// call-refused 403, unknown-session 404, too-large 413, too-many-sessions 503,
// too-many-requests 429, busy 429, worker-failed 502), and not-found 404 for a path outside
// the API. A worker that fails (ends, answers no line, takes over 5 minutes) ends its session.
// Only the user's own processes are served: a connection from another user's is closed unread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::agent {

inline constexpr int kDefaultPort = 47011;

struct AgentOptions {
  std::string host = "127.0.0.1";  // or "::1"; nothing else is accepted
  int port = kDefaultPort;         // 0: a free port
  std::chrono::seconds idleTimeout{600};
  std::size_t maxSessions = 8;  // an origin may hold half of them (at least one)
  std::size_t maxBody = 16 * 1024 * 1024;
  std::size_t maxHead = 64 * 1024;  // a request's line and headers
  // A request's line and headers must arrive within headTimeout, its body within bodyTimeout.
  std::chrono::milliseconds headTimeout{5'000};
  std::chrono::milliseconds bodyTimeout{30'000};
  unsigned maxConnections = 128;  // open at once; each has a thread while it lasts
  unsigned maxConnectionsPerOrigin = 16;
  unsigned requestsPerSecond = 200;  // per origin; 0: no limit
  // The worker's command line, the session's origin folder appended as
  // "--origin-folder DIR": normally {selfExecutablePath(), "agent-worker"}.
  std::vector<std::string> workerCommand;
  std::string originsFile;     // the allow-list (agentConfig's originsFilePath() by default)
  std::string agentConfig;     // agent.json
  std::string originsDataDir;  // parent of the per-origin folders: $XDG_DATA_HOME/kestrune/origins
};

class AgentServer {
 public:
  explicit AgentServer(AgentOptions options);
  ~AgentServer();  // stops the server and ends every session's process
  AgentServer(const AgentServer&) = delete;
  AgentServer& operator=(const AgentServer&) = delete;

  // start binds and listens (the port is then known) and serves on threads of its own;
  // false with the reason.
  bool start(std::string& why);
  int port() const;
  std::string baseUrl() const;  // "http://127.0.0.1:PORT/"
  // stop ends serving and every session; wait returns once the server has stopped.
  void stop();
  void wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kestrune::agent
