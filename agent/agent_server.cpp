// AgentServer: the local agent's HTTP service on the guarded server (http_server/). Every
// request is judged on its head, before a byte of its body is read, in this order: the Host
// header (DNS rebinding), the Origin against the allow-list (CORS), the origin's connections
// and request rate, the body's framing; then the route. A session runs one call and lets one
// more wait its turn (a third is answered busy), so that no origin's calls hold the server's
// threads; a call that needs the user's consent asks first.
#include "agent/agent_server.h"

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
#include "http_server/guarded_server.h"
#include "platform/child_process.h"
#include "platform/config_files.h"
#include "platform/listen_socket.h"
#include "platform/process_memory.h"

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
// Opening a session takes no arguments: its body, if any, is read within this bound.
constexpr std::size_t kMaxOpenBody = 4096;
// A page's browser keeps a handful of connections to one host; a client holding more than
// this many for one origin is hoarding the server's threads.
constexpr unsigned kConnectionsPerOrigin = 16;

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

struct WipedText {
  std::string& text;
  ~WipedText() { OPENSSL_cleanse(text.data(), text.size()); }
};

// openingBodyAccepted: a session's opening body is empty (no Content-Length, or 0), which
// stands for {}, or a JSON object; its members are not read.
bool openingBodyAccepted(const std::string& body) {
  if (body.empty()) return true;
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  return parsed.is_object();
}

// bodyAnnounced tells whether a request's head announces a body to follow.
bool bodyAnnounced(const httplib::Request& request) {
  return request.has_header("Transfer-Encoding") ||
         (request.has_header("Content-Length") &&
          request.get_header_value("Content-Length") != "0");
}

http::GuardOptions guardOptions(const AgentOptions& options) {
  http::GuardOptions guard;
  guard.headTimeout = options.headTimeout;
  guard.bodyTimeout = options.bodyTimeout;
  guard.writeTimeout = std::chrono::seconds(10);
  guard.keepAliveTimeout = std::chrono::seconds(5);
  guard.maxConnections = options.maxConnections;
  // Every page reaches the agent from the loopback address: the bound per origin counts.
  guard.maxConnectionsPerAddress = options.maxConnections;
  // A page's calls ride one kept-alive connection; an idle one still ends after its time-out.
  guard.maxRequestsPerConnection = 1000;
  guard.maxHeadBytes = options.maxHead;
  guard.maxBodyBytes = options.maxBody;
  guard.sameUserOnly = true;
  return guard;
}

}  // namespace

struct AgentServer::State {
  explicit State(AgentOptions given)
      : options(std::move(given)),
        server(guardOptions(options),
               [](const std::string& peer, const char* why) {
                 std::cerr << "kestrune serve: a connection from " << logText(peer)
                           << " was refused: " << why << std::endl;
               }),
        allowList(options.originsFile),
        sessions(options.maxSessions, options.idleTimeout),
        rate(options.requestsPerSecond) {}

  AgentOptions options;
  http::GuardedServer server;
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

  // refuse answers a request the agent won't serve; one whose body was announced and not read
  // ends its connection with the answer.
  static void refuse(const httplib::Request& request, httplib::Response& response, AgentError error,
                     std::string_view text) {
    answerError(response, error, text);
    if (bodyAnnounced(request)) http::GuardedServer::refuseEarly(response, httpStatus(error));
  }

  // admitHead judges a request on its head alone, before any of its body is read: true when
  // the routes may answer it (an allowed origin's request then carries its CORS headers);
  // otherwise the refusal is in response.
  bool admitHead(const httplib::Request& request, httplib::Response& response) {
    if (!hostIsOurs(request)) {
      refuse(request, response, AgentError::hostRefused,
             "the agent answers 127.0.0.1, [::1], localhost");
      return false;
    }
    const std::vector<std::string> origins = headerValues(request, "Origin");
    switch (checkOrigin(origins, allowList.origins())) {
      case OriginCheck::allowed:
        break;
      case OriginCheck::absent:
        // The client script is for any page to load; everything else is a page's call.
        if (request.method == "GET" && !bodyAnnounced(request)) return true;
        refuse(request, response, AgentError::originRefused, "a page's request names its origin");
        return false;
      case OriginCheck::refused:
        refuse(request, response, AgentError::originRefused, "the origin is not on the allow-list");
        return false;
    }
    const std::string& origin = origins.front();
    addHeaders(response, corsHeaders(origin));
    if (!server.claim(origin, options.maxConnectionsPerOrigin)) {
      refuse(request, response, AgentError::tooManyRequests, "too many connections of this origin");
      return false;
    }
    if (!rate.admit(origin, Clock::now())) {
      refuse(request, response, AgentError::tooManyRequests, "too many requests of this origin");
      return false;
    }
    const http::BodyFraming framing = http::bodyFraming(request, options.maxBody);
    if (framing.refusal == 413) {
      refuse(request, response, AgentError::tooLarge, "the body is over the agent's bound");
      return false;
    }
    if (framing.refusal != 0) {
      refuse(request, response, AgentError::badJson,
             "the body's framing is refused (one Content-Length or chunked, no content coding)");
      return false;
    }
    if (request.method != "POST" && (framing.chunked || framing.length > 0)) {
      refuse(request, response, AgentError::badJson, "only a call carries a body");
      return false;
    }
    return true;
  }

  void preflight(const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::string> privateNetwork =
        request.has_header("Access-Control-Request-Private-Network")
            ? std::optional(request.get_header_value("Access-Control-Request-Private-Network"))
            : std::nullopt;
    addHeaders(response, preflightHeaders(request.get_header_value("Origin"), privateNetwork));
    response.status = 204;
  }

  void clientScript(const httplib::Request& request, httplib::Response& response) {
    // The answer differs by Origin (its CORS headers): caches keep one per origin.
    addHeaders(response, {{"Vary", "Origin"}});
    const std::optional<WebAsset> asset = webAsset(request.path);
    if (!asset) {
      answerError(response, AgentError::notFound, "no such file");
      return;
    }
    response.set_content(std::string(asset->body), std::string(asset->contentType));
  }

  // readBody reads the request's body within bound; false with the refusal in response (the
  // connection then ends with the answer: the rest of the body is not read).
  bool readBody(const httplib::ContentReader& reader, httplib::Response& response,
                std::string& body, std::size_t bound) {
    switch (server.readBody(reader, body, bound)) {
      case http::GuardedServer::BodyRead::ok:
        return true;
      case http::GuardedServer::BodyRead::tooLarge:
        answerError(response, AgentError::tooLarge, "the body is over the agent's bound");
        break;
      case http::GuardedServer::BodyRead::failed:
        answerError(response, AgentError::badJson, "the body did not arrive whole");
        break;
    }
    http::GuardedServer::refuseEarly(response, response.status);
    return false;
  }

  std::string originFolder(const std::string& origin) const {
    if (options.originsDataDir.empty()) return {};
    return (std::filesystem::path(options.originsDataDir) / originFolderName(origin)).string();
  }

  void openSession(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader) {
    std::string body;
    const WipedText wipeBody{body};
    if (!readBody(reader, response, body, kMaxOpenBody)) return;
    if (!openingBodyAccepted(body)) {
      answerError(response, AgentError::badJson,
                  "opening a session takes no body or a JSON object such as {}");
      return;
    }
    const std::string origin = request.get_header_value("Origin");
    SessionTable::Opened opened = SessionTable::Opened::ok;
    std::shared_ptr<Session> displaced;  // its process ends when this request is done
    const std::shared_ptr<Session> session = sessions.open(origin, Clock::now(), opened, displaced);
    if (opened == SessionTable::Opened::full) {
      answerError(response, AgentError::tooManySessions,
                  "the agent has as many sessions as it runs");
      return;
    }
    if (opened == SessionTable::Opened::originFull) {
      answerError(response, AgentError::tooManySessions,
                  "this origin has as many sessions as it may, each in use");
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

  void call(const httplib::Request& request, httplib::Response& response,
            const httplib::ContentReader& reader) {
    const SessionTable::Use use =
        sessions.use(request.matches[1].str(), request.get_header_value("Origin"), Clock::now());
    if (!use) {
      refuse(request, response, AgentError::unknownSession, "no such session");
      return;
    }
    // One call runs and one waits its turn; a page that sends more at once is told so before
    // its body is read, instead of holding a thread of the server per call.
    const Session::CallTurn turn(*use.session());
    if (!turn) {
      refuse(request, response, AgentError::busy,
             "the session is running a call and another waits its turn");
      return;
    }
    std::string body;
    const WipedText wipeBody{body};
    if (!readBody(reader, response, body, options.maxBody)) return;
    CallLine line;
    const WipedText wipeLine{line.line};
    AgentError error = AgentError::badCall;
    std::string why;
    if (!callLine(body, line, error, why)) {
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
    refuse(request, response, AgentError::unknownSession, "no such session");
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
    // An answer goes out in two writes (head, then body): with Nagle on, the second waits for
    // the client's delayed acknowledgement of the first, 40 ms a call.
    server.set_tcp_nodelay(true);
    server.set_default_headers(
        {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    server.set_socket_options([this](socket_t socket) {
      listenSocket = static_cast<std::intptr_t>(socket);
      platform::setExclusiveListen(listenSocket);
    });
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          loggedMethod.clear();
          if (!admitHead(request, response)) return httplib::Server::HandlerResponse::Handled;
          // Without a length or a coding a request has no body (httplib would read one until
          // the client closes).
          if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
            const_cast<httplib::Request&>(request).set_header("Content-Length", "0");
          }
          return httplib::Server::HandlerResponse::Unhandled;
        });
    // A client that asks before sending its body is judged on its head the same way.
    server.set_expect_100_continue_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (admitHead(request, response)) return 100;
          http::GuardedServer::refuseEarly(response, response.status);
          return response.status;
        });
    server.Options(".*", [this](const httplib::Request& request, httplib::Response& response) {
      preflight(request, response);
    });
    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      clientScript(request, response);
    });
    server.Post(kSessionsPath, [this](const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& reader) {
      openSession(request, response, reader);
    });
    server.Post(kCallPath,
                [this](const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader) { call(request, response, reader); });
    server.Post(kAnySessionPath,
                [this](const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader&) { unknownSession(request, response); });
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
    // The library's own refusals (an unknown path, a malformed request) in the agent's form;
    // an allowed page gets to read them.
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
      // What a burst of large calls left behind goes back to the system.
      platform::returnFreeMemory();
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
  platform::keepLargeBuffersApart();
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
  // Connections still waiting on their clients end now rather than at their time-outs.
  state.server.wakeAll();
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
