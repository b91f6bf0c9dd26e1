// AgentServer: the local agent's HTTP service on cpp-httplib. Every answer is decided in this
// order: the Host header (DNS rebinding), the Origin against the allow-list (CORS), the
// origin's request rate, then the route. A session's calls go to its worker process one at a
// time; a call that needs the user's consent asks first.
#include "agent/agent_server.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent/allow_list.h"
#include "agent/consent.h"
#include "agent/origin.h"
#include "agent/rate_limit.h"
#include "agent/request_policy.h"
#include "agent/sessions.h"
#include "agent/web_assets.h"
#include "agent/worker_calls.h"
#include "platform/child_process.h"
#include "platform/config_files.h"
#include "platform/listen_socket.h"

namespace kestrune::agent {
namespace {

using Clock = std::chrono::steady_clock;

// A call may be a long exchange with the certification authority.
constexpr std::chrono::minutes kCallTimeout{5};
// How often a waiting call looks whether the agent is stopping.
constexpr std::chrono::milliseconds kReadSlice{200};
constexpr std::size_t kMaxAnswerLine = 64 << 20;
constexpr const char* kJson = "application/json";
constexpr const char* kSessionsPath = "/v1/session";
constexpr const char* kCallPath = R"(/v1/session/([0-9a-f]{32})/call)";
constexpr const char* kSessionPath = R"(/v1/session/([0-9a-f]{32}))";
constexpr const char* kAnySessionPath = R"(/v1/session/[^/]*(/call)?)";

// The control method a request called, for its log line (the logger runs on the request's
// thread after the handler).
thread_local std::string loggedMethod;

void answerError(httplib::Response& response, AgentError error, std::string_view text) {
  response.status = httpStatus(error);
  response.set_content(errorBody(error, text), kJson);
}

// addHeaders sets the headers the response doesn't have yet.
void addHeaders(httplib::Response& response, const HeaderList& headers) {
  for (const auto& [name, value] : headers) {
    if (!response.has_header(name)) response.set_header(name, value);
  }
}

std::vector<std::string> headerValues(const httplib::Request& request, const char* name) {
  std::vector<std::string> values;
  const auto [first, last] = request.headers.equal_range(name);
  for (auto header = first; header != last; ++header) values.push_back(header->second);
  return values;
}

// WipedBody overwrites a request's body when the request is done: httplib hands handlers the
// body as a constant, yet the request and its body are this request's own and dropped right
// after, so nobody sees the change; it is the only way to wipe the PINs in the buffer the
// socket was read into.
struct WipedBody {
  const httplib::Request& request;
  ~WipedBody() {
    auto& body = const_cast<std::string&>(request.body);
    OPENSSL_cleanse(body.data(), body.size());
  }
};

struct WipedText {
  std::string& text;
  ~WipedText() { OPENSSL_cleanse(text.data(), text.size()); }
};

}  // namespace

struct AgentServer::State {
  explicit State(AgentOptions given)
      : options(std::move(given)),
        allowList(options.originsFile),
        sessions(options.maxSessions, options.idleTimeout),
        rate(options.requestsPerSecond) {}

  AgentOptions options;
  httplib::Server server;
  AllowList allowList;
  SessionTable sessions;
  RateLimiter rate;
  int port = 0;
  std::intptr_t listenSocket = -1;
  std::atomic<bool> stopping{false};
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  std::thread reaper;
  std::mutex stateMutex;
  std::condition_variable changed;
  bool running = false;
  bool stopped = false;

  // admit applies the Host, Origin and rate checks to a request the routes answer: false
  // with the refusal in response. An allowed origin gets its CORS headers here, on every
  // answer. A request without an Origin is admitted only where noOriginOk (the client script).
  // hostIsOurs tells whether the request names the agent itself in its one Host header.
  bool hostIsOurs(const httplib::Request& request) const {
    return request.get_header_value_count("Host") == 1 &&
           hostAllowed(request.get_header_value("Host"), port);
  }

  bool admit(const httplib::Request& request, httplib::Response& response, bool noOriginOk) {
    if (!hostIsOurs(request)) {
      answerError(response, AgentError::hostRefused,
                  "the agent answers 127.0.0.1, [::1], localhost");
      return false;
    }
    const std::vector<std::string> origins = headerValues(request, "Origin");
    switch (checkOrigin(origins, allowList.origins())) {
      case OriginCheck::allowed:
        break;
      case OriginCheck::absent:
        if (noOriginOk) return true;
        answerError(response, AgentError::originRefused, "a page's request names its origin");
        return false;
      case OriginCheck::refused:
        answerError(response, AgentError::originRefused, "the origin is not on the allow-list");
        return false;
    }
    addHeaders(response, corsHeaders(origins.front()));
    if (!rate.admit(origins.front(), Clock::now())) {
      answerError(response, AgentError::tooManyRequests, "too many requests of this origin");
      return false;
    }
    return true;
  }

  void preflight(const httplib::Request& request, httplib::Response& response) {
    if (!admit(request, response, false)) return;
    const std::optional<std::string> privateNetwork =
        request.has_header("Access-Control-Request-Private-Network")
            ? std::optional(request.get_header_value("Access-Control-Request-Private-Network"))
            : std::nullopt;
    addHeaders(response, preflightHeaders(request.get_header_value("Origin"), privateNetwork));
    response.status = 204;
  }

  void clientScript(const httplib::Request& request, httplib::Response& response) {
    if (!admit(request, response, true)) return;
    // The answer differs by Origin (its CORS headers): caches keep one per origin.
    addHeaders(response, {{"Vary", "Origin"}});
    const std::optional<WebAsset> asset = webAsset(request.path);
    if (!asset) {
      answerError(response, AgentError::notFound, "no such file");
      return;
    }
    response.set_content(std::string(asset->body), std::string(asset->contentType));
  }

  std::string originFolder(const std::string& origin) const {
    if (options.originsDataDir.empty()) return {};
    return (std::filesystem::path(options.originsDataDir) / originFolderName(origin)).string();
  }

  void openSession(const httplib::Request& request, httplib::Response& response) {
    const WipedBody wipe{request};
    if (!admit(request, response, false)) return;
    const std::string origin = request.get_header_value("Origin");
    SessionTable::Opened opened = SessionTable::Opened::ok;
    std::shared_ptr<Session> displaced;  // its process ends when this request is done
    const std::shared_ptr<Session> session = sessions.open(origin, Clock::now(), opened, displaced);
    if (opened == SessionTable::Opened::full) {
      answerError(response, AgentError::tooManySessions,
                  "the agent has as many sessions as it runs");
      return;
    }
    if (!session) {
      answerError(response, AgentError::workerFailed, "no random session ID to be had");
      return;
    }
    const std::string folder = originFolder(origin);
    if (folder.empty() || !platform::makeOwnerFolder(folder)) {
      sessions.end(session);
      answerError(response, AgentError::workerFailed, "the origin's folder can't be made");
      return;
    }
    std::vector<std::string> command = options.workerCommand;
    command.insert(command.end(), {"--origin-folder", folder});
    auto worker = std::make_unique<platform::ChildProcess>();
    std::string why;
    if (command.empty() || !worker->start(command, {}, folder, true, why)) {
      sessions.end(session);
      std::cerr << "kestrune serve: the session's worker can't start: " << logText(why)
                << std::endl;
      answerError(response, AgentError::workerFailed, "the session's worker can't start");
      return;
    }
    {
      const std::lock_guard lock(session->callMutex);
      session->worker = std::move(worker);
    }
    response.status = 201;
    response.set_content(nlohmann::json{{"session", session->id}}.dump(), kJson);
  }

  // consent returns true when the call may be made; otherwise the refusal is in response.
  bool consent(Session& session, const CallLine& line, httplib::Response& response) {
    const ConsentDecision decision = checkConsent(session, *line.method, line.stakes);
    if (!decision.allowed) answerError(response, AgentError::consentRefused, decision.text);
    return decision.allowed;
  }

  // workerFailed ends the session whose worker broke.
  void workerFailed(const SessionTable::Use& use, httplib::Response& response, const char* why) {
    use->ended = true;
    use->stopWorker();
    sessions.end(use.session());
    std::cerr << "kestrune serve: a session of " << logText(use->origin) << " ended: " << why
              << std::endl;
    answerError(response, AgentError::workerFailed, why);
  }

  // exchange sends the line and waits for the worker's answer line: ok, or the failure.
  const char* exchange(Session& session, const std::string& line, std::string& answer) {
    platform::ChildProcess& worker = *session.worker;
    if (worker.writeLine(line) != platform::ChildProcess::Status::ok) {
      return "the session's worker is gone";
    }
    const auto deadline = Clock::now() + kCallTimeout;
    for (;;) {
      switch (worker.readLine(answer, kReadSlice, kMaxAnswerLine)) {
        case platform::ChildProcess::Status::ok:
          return nullptr;
        case platform::ChildProcess::Status::timedOut:
          if (stopping) return "the agent is stopping";
          if (session.ended) return "the session was closed during the call";
          if (Clock::now() >= deadline) return "the call took too long";
          continue;
        case platform::ChildProcess::Status::ended:
          return "the session's worker ended";
        case platform::ChildProcess::Status::failed:
          break;
      }
      return "the session's worker answered no line";
    }
  }

  void call(const httplib::Request& request, httplib::Response& response) {
    const WipedBody wipe{request};
    if (!admit(request, response, false)) return;
    const SessionTable::Use use =
        sessions.use(request.matches[1].str(), request.get_header_value("Origin"), Clock::now());
    if (!use) {
      answerError(response, AgentError::unknownSession, "no such session");
      return;
    }
    CallLine line;
    const WipedText wipeLine{line.line};
    AgentError error = AgentError::badCall;
    std::string why;
    if (!callLine(request.body, line, error, why)) {
      answerError(response, error, why);
      return;
    }
    loggedMethod = line.method->name;
    const std::lock_guard lock(use->callMutex);
    if (use->ended || !use->worker) {
      answerError(response, AgentError::unknownSession, "the session has ended");
      return;
    }
    if (!consent(*use.session(), line, response)) return;
    // The page may have closed the session while the user was being asked.
    if (use->ended) {
      answerError(response, AgentError::unknownSession, "the session has ended");
      return;
    }
    std::string answer;
    if (const char* failure = exchange(*use.session(), line.line, answer)) {
      workerFailed(use, response, failure);
      return;
    }
    const WorkerAnswer sorted = readWorkerAnswer(answer);
    switch (sorted.kind) {
      case WorkerAnswer::Kind::answer:
        response.status = 200;
        response.set_content(std::move(answer), kJson);
        return;
      case WorkerAnswer::Kind::refused:
        answerError(response, AgentError::callRefused, sorted.fault);
        return;
      case WorkerAnswer::Kind::badCall:
        answerError(response, AgentError::badCall, sorted.fault);
        return;
      case WorkerAnswer::Kind::broken:
        break;
    }
    workerFailed(use, response, "the session's worker answered something else than an answer");
  }

  void closeSession(const httplib::Request& request, httplib::Response& response) {
    if (!admit(request, response, false)) return;
    const std::shared_ptr<Session> session =
        sessions.close(request.matches[1].str(), request.get_header_value("Origin"));
    if (!session) {
      answerError(response, AgentError::unknownSession, "no such session");
      return;
    }
    session->ended = true;
    // A call still running keeps the session: its worker ends with that call's last reference.
    if (std::unique_lock lock(session->callMutex, std::try_to_lock); lock) session->stopWorker();
    response.status = 204;
  }

  // unknownSession answers the session paths whose ID can't be one of ours.
  void unknownSession(const httplib::Request& request, httplib::Response& response) {
    const WipedBody wipe{request};
    if (!admit(request, response, false)) return;
    answerError(response, AgentError::unknownSession, "no such session");
  }

  void logRequest(const httplib::Request& request, const httplib::Response& response) {
    std::string line = "kestrune serve: ";
    line += logText(request.get_header_value("Origin"));
    line += ' ';
    line += logText(request.method);
    line += ' ';
    line += logPath(request.path);
    if (!loggedMethod.empty()) line += " " + loggedMethod;
    line += ' ';
    line += std::to_string(response.status);
    line += '\n';
    loggedMethod.clear();
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
  }

  void configure() {
    const std::size_t threads = std::max<std::size_t>(8, 2 * options.maxSessions + 4);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_read_timeout(10, 0);
    server.set_write_timeout(10, 0);
    server.set_keep_alive_timeout(5);
    // httplib closes a connection after 5 requests by default: a page's calls would then pay
    // for a new connection (and a new pool task) every fifth call. An idle connection still
    // ends after the time-out above.
    server.set_keep_alive_max_count(1000);
    // An answer goes out in two writes (head, then body): with Nagle on, the second waits for
    // the client's delayed acknowledgement of the first, 40 ms a call.
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(options.maxBody);
    server.set_default_headers(
        {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    server.set_socket_options([this](socket_t socket) {
      listenSocket = static_cast<std::intptr_t>(socket);
      platform::setExclusiveListen(listenSocket);
    });
    // A compressed body could grow a thousandfold past the body bound once decoded: the
    // agent's clients never send one.
    server.set_pre_routing_handler(
        [](const httplib::Request& request, httplib::Response& response) {
          loggedMethod.clear();
          if (request.get_header_value_count("Content-Encoding") == 0) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
          answerError(response, AgentError::badJson, "content codings are not accepted");
          response.set_header("Connection", "close");
          return httplib::Server::HandlerResponse::Handled;
        });
    server.Options(".*", [this](const httplib::Request& request, httplib::Response& response) {
      preflight(request, response);
    });
    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      clientScript(request, response);
    });
    server.Post(kSessionsPath,
                [this](const httplib::Request& request, httplib::Response& response) {
                  openSession(request, response);
                });
    server.Post(kCallPath, [this](const httplib::Request& request, httplib::Response& response) {
      call(request, response);
    });
    server.Post(kAnySessionPath,
                [this](const httplib::Request& request, httplib::Response& response) {
                  unknownSession(request, response);
                });
    server.Delete(kSessionPath,
                  [this](const httplib::Request& request, httplib::Response& response) {
                    closeSession(request, response);
                  });
    server.Delete(kAnySessionPath,
                  [this](const httplib::Request& request, httplib::Response& response) {
                    unknownSession(request, response);
                  });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
          response.status = 500;
          response.set_content(R"({"error":"agent-failed","text":"the agent failed"})", kJson);
        });
    // The library's own refusals (a body over the bound, an unknown path, a malformed
    // request) in the agent's form; an allowed page gets to read them.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
          const std::vector<std::string> origins = headerValues(request, "Origin");
          if (hostIsOurs(request) &&
              checkOrigin(origins, allowList.origins()) == OriginCheck::allowed) {
            addHeaders(response, corsHeaders(origins.front()));
          }
          const int status = response.status;
          if (status == 413) {
            answerError(response, AgentError::tooLarge, "the body is over the agent's bound");
          } else if (status == 404 || status == 405) {
            answerError(response, AgentError::notFound, "no such resource");
          } else {
            answerError(response, AgentError::badJson, "the request is malformed");
          }
          response.status = status;
          return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
      logRequest(request, response);
    });
  }

  void reapIdleSessions() {
    const auto interval = std::clamp<Clock::duration>(
        options.idleTimeout / 4, std::chrono::milliseconds(50), std::chrono::seconds(5));
    std::unique_lock lock(stateMutex);
    while (!changed.wait_for(lock, interval, [this] { return stopping.load(); })) {
      lock.unlock();
      for (const std::shared_ptr<Session>& session : sessions.takeIdle(Clock::now())) {
        session->ended = true;
        std::cerr << "kestrune serve: an idle session of " << logText(session->origin) << " ended"
                  << std::endl;
      }
      lock.lock();
    }
  }
};

AgentServer::AgentServer(AgentOptions options)
    : state_(std::make_unique<State>(std::move(options))) {}

AgentServer::~AgentServer() {
  stop();
}

bool AgentServer::start(std::string& why) {
  State& state = *state_;
  {
    const std::lock_guard lock(state.stateMutex);
    if (state.running || state.stopped) {
      why = "the agent was started before";
      return false;
    }
  }
  const AgentOptions& options = state.options;
  if (options.host != "127.0.0.1" && options.host != "::1") {
    why = "the agent listens on 127.0.0.1 or ::1 only";
    return false;
  }
  if (options.port < 0 || options.port > 65535) {
    why = "the port is 0 to 65535";
    return false;
  }
  if (options.workerCommand.empty()) {
    why = "no worker command";
    return false;
  }
  state.configure();
  state.port = options.port == 0
                   ? state.server.bind_to_any_port(options.host)
                   : (state.server.bind_to_port(options.host, options.port) ? options.port : -1);
  if (state.port <= 0) {
    why = "can't listen on " + options.host + " port " + std::to_string(options.port);
    return false;
  }
  platform::widenListenQueue(state.listenSocket);
  State* const shared = state_.get();
  state.listener = std::thread([shared] {
    shared->server.listen_after_bind();
    shared->listenerDone = true;
  });
  // stop() only reaches a server whose loop has begun.
  while (!state.server.is_running() && !state.listenerDone) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!state.server.is_running()) {
    state.listener.join();
    why = "the server stopped at once";
    return false;
  }
  state.reaper = std::thread([shared] { shared->reapIdleSessions(); });
  const std::lock_guard lock(state.stateMutex);
  state.running = true;
  return true;
}

int AgentServer::port() const {
  return state_->port;
}

std::string AgentServer::baseUrl() const {
  const std::string host = state_->options.host == "::1" ? "[::1]" : state_->options.host;
  return "http://" + host + ":" + std::to_string(state_->port) + "/";
}

void AgentServer::stop() {
  State& state = *state_;
  {
    const std::lock_guard lock(state.stateMutex);
    if (!state.running) return;
    state.running = false;
    state.stopping = true;
  }
  state.changed.notify_all();
  state.server.stop();
  if (state.listener.joinable()) state.listener.join();
  if (state.reaper.joinable()) state.reaper.join();
  // The sessions' last references: their workers end here.
  state.sessions.takeAll();
  {
    const std::lock_guard lock(state.stateMutex);
    state.stopped = true;
  }
  state.changed.notify_all();
}

void AgentServer::wait() {
  State& state = *state_;
  std::unique_lock lock(state.stateMutex);
  state.changed.wait(lock, [&state] { return state.stopped || !state.running; });
}

}  // namespace kestrune::agent
