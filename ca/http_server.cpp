// AuthorityServer: the authority's HTTP service on cpp-httplib.
//   GET  /fedi/init  the initiation: "FEDI-SET-URL: <message URL>" and "FEDI-CASID: <CASID1>"
//   POST /fedi/msg   one DER FEDI_MESSAGE in, one out (message_service.h)
// The connections are guarded (guarded_http.h): each has a thread of its own, and the requests'
// work takes one of `workers` places, so that clients slow to send or read never hold up the
// work of the others. A body is bounded as it arrives, whatever its transfer coding; content
// codings are refused, as the exchange never uses one (a small compressed body could otherwise
// grow a thousandfold in memory). Each request opens its own database connection, so the only
// state the threads share is the loaded authority, which nobody changes while it runs.
#include <httplib.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <semaphore>
#include <thread>

#include "ca/authority.h"
#include "ca/authority_context.h"
#include "ca/guarded_http.h"
#include "ca/message_service.h"
#include "platform/listen_socket.h"

namespace kestrune::ca {

namespace {

constexpr const char* kInitiationPath = "/fedi/init";
constexpr const char* kMessagePath = "/fedi/msg";
constexpr std::size_t kMaxPublicUrlLength = 1024;
// Room for the request line and headers beside the body.
constexpr std::size_t kHeaderRoom = 64 << 10;
// Threads beyond the connection bound, for turning away connections over it at once.
constexpr unsigned kRefusingThreads = 16;
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

bool equalsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

// bodyFraming returns 0 when the POST's headers frame a body the authority reads (a
// Content-Length within the bound, or chunked, and no content coding), else the HTTP status
// that refuses it.
int bodyFraming(const httplib::Request& request, std::size_t maxBody) {
  if (request.get_header_value_count("Content-Encoding") > 0) {
    const std::string coding = request.get_header_value("Content-Encoding");
    if (request.get_header_value_count("Content-Encoding") > 1 ||
        !equalsIgnoringCase(coding, "identity")) {
      return 415;
    }
  }
  const std::size_t codings = request.get_header_value_count("Transfer-Encoding");
  const std::size_t lengths = request.get_header_value_count("Content-Length");
  if (codings > 1 || lengths > 1 || (codings == 1 && lengths == 1)) return 400;
  if (codings == 1) {
    return equalsIgnoringCase(request.get_header_value("Transfer-Encoding"), "chunked") ? 0 : 501;
  }
  // Without a length the library would read until the client closes.
  if (lengths == 0) return 411;
  const std::string text = request.get_header_value("Content-Length");
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size()) {
    return 400;
  }
  if (error == std::errc::result_out_of_range || length > maxBody) return 413;
  return 0;
}

// refuseEarly answers status before the body is read: the connection ends with the answer.
void refuseEarly(httplib::Response& response, int status) {
  response.status = status;
  response.set_header("Connection", "close");
  if (http::ConnectionState* connection = http::currentConnection()) connection->mustClose = true;
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
  std::string announcedMessages;  // the message URL of FEDI-SET-URL
  int port = 0;
  std::intptr_t listenSocket = -1;  // the socket the library bound, once it has
  std::mutex logMutex;

  static http::GuardOptions guardOptions(const ServerOptions& options) {
    http::GuardOptions guard;
    guard.headerTimeout = options.headerTimeout;
    guard.readTimeout = options.readTimeout;
    guard.writeTimeout = options.writeTimeout;
    guard.keepAliveTimeout = options.keepAliveTimeout;
    guard.maxConnections = std::max(1u, options.maxConnections);
    guard.maxConnectionsPerAddress = std::max(1u, options.maxConnectionsPerAddress);
    guard.maxRequestBytes = options.maxBodyBytes + kHeaderRoom;
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
    const http::ConnectionState* connection = http::currentConnection();
    std::string line = isoTime(context.now()) + " client=" + logText(request.remote_addr);
    if (connection != nullptr && connection->message) {
      const RequestNote& note = connection->note;
      line += std::string(" request=") + note.type;
      if (note.holder) {
        line += " holder=" + logText(note.holder->sid2 + "/" + note.holder->sid1);
      }
      if (connection->refusal != 0) {
        line += " outcome=refused status=" + std::to_string(connection->refusal) +
                " reason=" + logText(connection->refusalText);
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
    server.bodyExpected();
    const std::size_t limit = context.options.maxBodyBytes;
    std::string body;
    bool tooLarge = false;
    const bool read = reader([&](const char* data, std::size_t length) {
      if (length > limit - body.size()) {
        tooLarge = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (tooLarge || !read) {
      refuseEarly(response, tooLarge ? 413 : 400);
      return;
    }
    work.acquire();
    struct Release {
      std::counting_semaphore<kMaxWorkers>& work;
      ~Release() { work.release(); }
    } release{work};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    HttpAnswer answer = answerMessage(context, {bytes, body.size()});
    if (http::ConnectionState* connection = http::currentConnection()) {
      connection->message = true;
      connection->note = answer.note;
      connection->refusal = answer.refusal;
      connection->refusalText = answer.refusalText;
    }
    response.status = answer.status;
    response.set_content(std::string(answer.body.begin(), answer.body.end()), answer.contentType);
  }

  void configure(const ServerOptions& options) {
    const unsigned connections = std::max(1u, options.maxConnections) + kRefusingThreads;
    server.new_task_queue = [connections] { return new http::ConnectionPool(connections); };
    const auto seconds = [](auto duration) {
      return static_cast<time_t>(std::chrono::ceil<std::chrono::seconds>(duration).count());
    };
    server.set_read_timeout(seconds(options.readTimeout));
    server.set_write_timeout(seconds(options.writeTimeout));
    server.set_keep_alive_timeout(static_cast<time_t>(options.keepAliveTimeout.count()));
    // A second guard: the message handler bounds the body itself, whatever its coding.
    server.set_payload_max_length(options.maxBodyBytes);
    server.set_socket_options([this](socket_t socket) {
      listenSocket = static_cast<std::intptr_t>(socket);
      platform::setExclusiveListen(listenSocket);
    });
    const std::size_t maxBody = options.maxBodyBytes;
    // A body the authority will not read is refused as soon as its headers are in: an
    // announced length over the bound at once, not after reading or waiting for it.
    server.set_pre_routing_handler(
        [maxBody](const httplib::Request& request, httplib::Response& response) {
          if (request.method != "POST") return httplib::Server::HandlerResponse::Unhandled;
          if (const int refusal = bodyFraming(request, maxBody); refusal != 0) {
            refuseEarly(response, refusal);
            return httplib::Server::HandlerResponse::Handled;
          }
          return httplib::Server::HandlerResponse::Unhandled;
        });
    server.set_expect_100_continue_handler(
        [maxBody](const httplib::Request& request, httplib::Response& response) {
          const int refusal = request.method == "POST" ? bodyFraming(request, maxBody) : 0;
          if (refusal == 0) return 100;
          refuseEarly(response, refusal);
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
    running->address = urlHost(bindHost) + ":" + std::to_string(running->port);
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

}  // namespace kestrune::ca
