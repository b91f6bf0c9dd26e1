// AuthorityServer: the authority's HTTP service on cpp-httplib.
//   GET  /fedi/init  the initiation: "FEDI-SET-URL: <message URL>" and "FEDI-CASID: <CASID1>"
//   POST /fedi/msg   one DER FEDI_MESSAGE in, one out (message_service.h)
// The connections are guarded (http_server/guarded_server.h): each has a thread of its own, and the
// requests' work takes one of `workers` places, so that clients slow to send or read never hold up
// the work of the others. A body is bounded as it arrives, whatever its transfer coding; content
// codings are refused, as the exchange never uses one (a small compressed body could otherwise
// grow a thousandfold in memory). Each request opens its own database connection, so the only
// state the threads share is the loaded authority, which nobody changes while it runs.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <semaphore>
#include <thread>

#include "ca/authority.h"
#include "ca/authority_context.h"
#include "ca/message_service.h"
#include "http_server/guarded_server.h"
#include "platform/listen_socket.h"

namespace kestrune::ca {

namespace {

constexpr const char* kInitiationPath = "/fedi/init";
constexpr const char* kMessagePath = "/fedi/msg";
constexpr std::size_t kMaxPublicUrlLength = 1024;
constexpr std::ptrdiff_t kMaxWorkers = 1024;

// urlHost returns host as a URL writes it; a wildcard address becomes the loopback one.
std::string urlHost(const std::string& host) {
  if (host.empty() || host == "0.0.0.0") return "127.0.0.1";
  if (host == "::") return "[::1]";
  if (host.find(':') != std::string::npos) return "[" + host + "]";
  return host;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// publicBase returns the public URL without a trailing '/', or none when it is not http:// or
// https:// followed by printable ASCII without spaces.
std::optional<std::string> publicBase(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (url.size() > kMaxPublicUrlLength ||
      !(startsWith(url, "http://") || startsWith(url, "https://")) ||
      url.find("://") + 3 >= url.size()) {
    return std::nullopt;
  }
  for (const char c : url) {
    if (c <= ' ' || c > '~') return std::nullopt;
  }
  return url;
}

// logText writes a value for the log line: printable ASCII as it is, quoted when it holds a
// space, anything else (and quote and backslash) as \xHH, so that no client text can forge a
// line or a field.
std::string logText(const std::string& value) {
  std::string out;
  bool quote = value.empty();
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == ' ') quote = true;
    if (byte < ' ' || byte > '~' || c == '"' || c == '\\' || c == '=') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

// What a request's log line says of the FEDI message it answered: kept for the request on its
// connection's thread, from the handler to the logger, and cleared when logged.
struct MessageNote {
  bool message = false;
  RequestNote note;
  int refusal = 0;
  std::string refusalText;
};
thread_local MessageNote messageNote;

// refuseFraming returns the status that refuses a POST's body before it is read, or 0.
int refuseFraming(const httplib::Request& request, std::size_t maxBody) {
  if (request.method != "POST") return 0;
  const http::BodyFraming framing = http::bodyFraming(request, maxBody);
  if (framing.refusal != 0) return framing.refusal;
  // Without a length or a coding, no body: the message is missing.
  return framing.chunked || request.has_header("Content-Length") ? 0 : 411;
}

}  // namespace

struct AuthorityServer::Running {
  explicit Running(const ServerOptions& options)
      : server(guardOptions(options),
               [this](const std::string& peer, const char* why) { connectionRefused(peer, why); }),
        work(std::clamp<std::ptrdiff_t>(options.workers, 1, kMaxWorkers)) {}

  AuthorityContext context;
  http::GuardedServer server;
  std::counting_semaphore<kMaxWorkers> work;  // the requests' work running at once
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  std::string address;            // host:port as URLs write it
  std::string bound;              // the address the socket is bound to, as numbers
  std::string announcedMessages;  // the message URL of FEDI-SET-URL
  int port = 0;
  std::intptr_t listenSocket = -1;  // the socket the library bound, once it has
  std::mutex logMutex;

  static http::GuardOptions guardOptions(const ServerOptions& options) {
    http::GuardOptions guard;
    guard.headTimeout = options.headerTimeout;
    guard.bodyTimeout = options.readTimeout;
    guard.writeTimeout = options.writeTimeout;
    guard.keepAliveTimeout = options.keepAliveTimeout;
    guard.maxConnections = std::max(1u, options.maxConnections);
    guard.maxConnectionsPerAddress = std::max(1u, options.maxConnectionsPerAddress);
    guard.maxBodyBytes = options.maxBodyBytes;
    return guard;
  }

  std::string url(const char* path) const { return "http://" + address + path; }

  void writeLog(const std::string& line) {
    if (!context.options.log) return;
    std::lock_guard lock(logMutex);
    context.options.log(line);
  }

  void connectionRefused(const std::string& peer, const char* why) {
    writeLog(isoTime(context.now()) + " client=" + logText(peer) +
             " request=connection outcome=refused reason=" + logText(why) + " http=503");
  }

  // logRequest writes the request's line: time, client, request type, holder, outcome. Never a
  // pass phrase: nothing of the request's body but the holder's identifiers goes in.
  void logRequest(const httplib::Request& request, const httplib::Response& response) {
    std::string line = isoTime(context.now()) + " client=" + logText(request.remote_addr);
    const MessageNote served = std::exchange(messageNote, MessageNote{});
    if (served.message) {
      const RequestNote& note = served.note;
      line += std::string(" request=") + note.type;
      if (note.holder) {
        line += " holder=" + logText(note.holder->sid2 + "/" + note.holder->sid1);
      }
      if (served.refusal != 0) {
        line += " outcome=refused status=" + std::to_string(served.refusal) +
                " reason=" + logText(served.refusalText);
      } else if (response.status == 200) {
        line += " outcome=answered";
      } else {
        line += " outcome=failed";
      }
      if (note.serial) line += " serial=" + std::to_string(*note.serial);
    } else if (request.path == kInitiationPath && request.method == "GET") {
      line += std::string(" request=initiation outcome=") +
              (response.status == 200 ? "answered" : "failed");
    } else {
      line += " request=http method=" + logText(request.method.substr(0, 16)) + " outcome=refused";
    }
    line += " http=" + std::to_string(response.status);
    writeLog(line);
  }

  void initiation(httplib::Response& response) const {
    response.set_content("FEDI-SET-URL: " + announcedMessages +
                             "\r\nFEDI-CASID: " + context.identity.casid1 + "\r\n",
                         "text/plain; charset=us-ascii");
  }

  void message(httplib::Response& response, const httplib::ContentReader& reader) {
    std::string body;
    switch (server.readBody(reader, body)) {
      case http::GuardedServer::BodyRead::ok:
        break;
      case http::GuardedServer::BodyRead::tooLarge:
        http::GuardedServer::refuseEarly(response, 413);
        return;
      case http::GuardedServer::BodyRead::failed:
        http::GuardedServer::refuseEarly(response, 400);
        return;
    }
    work.acquire();
    struct Release {
      std::counting_semaphore<kMaxWorkers>& work;
      ~Release() { work.release(); }
    } release{work};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    HttpAnswer answer = answerMessage(context, {bytes, body.size()});
    messageNote = MessageNote{true, answer.note, answer.refusal, answer.refusalText};
    response.status = answer.status;
    response.set_content(std::string(answer.body.begin(), answer.body.end()), answer.contentType);
  }

  void configure(const ServerOptions& options) {
    server.set_socket_options([this](socket_t socket) {
      listenSocket = static_cast<std::intptr_t>(socket);
      platform::setExclusiveListen(listenSocket);
    });
    const std::size_t maxBody = options.maxBodyBytes;
    // A body the authority will not read is refused as soon as its headers are in: an
    // announced length over the bound at once, not after reading or waiting for it.
    server.set_pre_routing_handler(
        [maxBody](const httplib::Request& request, httplib::Response& response) {
          messageNote = MessageNote{};
          if (const int refusal = refuseFraming(request, maxBody); refusal != 0) {
            http::GuardedServer::refuseEarly(response, refusal);
            return httplib::Server::HandlerResponse::Handled;
          }
          return httplib::Server::HandlerResponse::Unhandled;
        });
    server.set_expect_100_continue_handler(
        [maxBody](const httplib::Request& request, httplib::Response& response) {
          const int refusal = refuseFraming(request, maxBody);
          if (refusal == 0) return 100;
          http::GuardedServer::refuseEarly(response, refusal);
          return refusal;
        });
    server.Get(kInitiationPath, [this](const httplib::Request&, httplib::Response& response) {
      initiation(response);
    });
    server.Post(kMessagePath,
                [this](const httplib::Request&, httplib::Response& response,
                       const httplib::ContentReader& reader) { message(response, reader); });
    server.Get(kMessagePath, [](const httplib::Request&, httplib::Response& response) {
      response.status = 405;
      response.set_header("Allow", "POST");
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response,
                                    std::exception_ptr) { response.status = 500; });
    // Errors without a text of their own (404, 413 ...) get one line saying what went wrong.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
          if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
          response.set_content("HTTP status " + std::to_string(response.status) + "\n",
                               "text/plain; charset=us-ascii");
          return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
      logRequest(request, response);
    });
  }
};

AuthorityServer::AuthorityServer() = default;

AuthorityServer::~AuthorityServer() {
  stop();
}

AuthorityResult AuthorityServer::start(const std::string& dir, const std::string& host, int port,
                                       const ServerOptions& options, std::string* error) noexcept {
  std::string why;
  const auto fail = [&](AuthorityResult result) {
    if (error != nullptr) *error = why;
    return result;
  };
  try {
    if (running_) {
      why = "the server is running";
      return fail(AuthorityResult::alreadyRunning);
    }
    if (port < 0 || port > 65535) {
      why = "the port must be 0 to 65535";
      return fail(AuthorityResult::badArgument);
    }
    std::optional<std::string> announced;
    if (!options.publicUrl.empty() && !(announced = publicBase(options.publicUrl))) {
      why = "the public URL must be http:// or https:// and a host, without spaces";
      return fail(AuthorityResult::badArgument);
    }
    auto running = std::make_unique<Running>(options);
    if (const auto result = loadAuthority(dir, options, running->context, why);
        result != AuthorityResult::ok) {
      return fail(result);
    }
    running->configure(options);
    const std::string bindHost = host.empty() ? "127.0.0.1" : host;
    running->port = port == 0 ? running->server.bind_to_any_port(bindHost)
                              : (running->server.bind_to_port(bindHost, port) ? port : -1);
    if (running->port <= 0) {
      why = "cannot listen on " + bindHost + ":" + std::to_string(port);
      return fail(AuthorityResult::cannotListen);
    }
    platform::widenListenQueue(running->listenSocket);
    running->bound = platform::boundAddress(running->listenSocket);
    running->address = urlHost(running->bound.empty() ? bindHost : running->bound) + ":" +
                       std::to_string(running->port);
    running->announcedMessages = announced ? *announced + kMessagePath : running->url(kMessagePath);
    Running* const server = running.get();
    server->listener = std::thread([server] {
      server->server.listen_after_bind();
      server->listenerDone = true;
    });
    // stop() only reaches a server whose loop has begun: wait for it.
    while (!server->server.is_running() && !server->listenerDone) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server->server.is_running()) {
      server->listener.join();
      why = "the server stopped at once";
      return fail(AuthorityResult::cannotListen);
    }
    running_ = std::move(running);
    return AuthorityResult::ok;
  } catch (const std::bad_alloc&) {
    why = "out of memory";
    return fail(AuthorityResult::noMemory);
  } catch (const std::system_error&) {
    why = "no thread for the server";
    return fail(AuthorityResult::noMemory);
  }
}

void AuthorityServer::stop() noexcept {
  if (!running_) return;
  running_->server.stop();
  // Connections still waiting on their clients end now rather than at their time-outs.
  running_->server.wakeAll();
  if (running_->listener.joinable()) running_->listener.join();
  running_.reset();
}

bool AuthorityServer::running() const noexcept {
  return running_ != nullptr;
}

int AuthorityServer::port() const noexcept {
  return running_ ? running_->port : 0;
}

std::string AuthorityServer::initiationUrl() const {
  return running_ ? running_->url(kInitiationPath) : std::string();
}

std::string AuthorityServer::messageUrl() const {
  return running_ ? running_->url(kMessagePath) : std::string();
}

std::string AuthorityServer::announcedMessageUrl() const {
  return running_ ? running_->announcedMessages : std::string();
}

std::string AuthorityServer::boundAddress() const {
  return running_ ? running_->bound : std::string();
}

bool AuthorityServer::listensBeyondLoopback() const {
  return running_ && !loopbackHost(running_->bound);
}

bool loopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // Four decimal numbers, the first 127: nothing else a resolver could take for another host.
  int parts = 0;
  std::size_t start = 0;
  while (start <= host.size()) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    const std::string part = host.substr(start, end - start);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255) {
      return false;
    }
    if (parts == 0 && part != "127") return false;
    ++parts;
    start = end + 1;
  }
  return parts == 4;
}

}  // namespace kestrune::ca
