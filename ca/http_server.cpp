// AuthorityServer: the authority's HTTP service on cpp-httplib.
//   GET  /fedi/init  the initiation: "FEDI-SET-URL: <message URL>" and "FEDI-CASID: <CASID1>"
//   POST /fedi/msg   one DER FEDI_MESSAGE in, one out (message_service.h)
// Requests run on the server's own thread pool; each opens its own database connection, so the
// only state the threads share is the loaded authority, which nobody changes while it runs.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "ca/authority.h"
#include "ca/authority_context.h"
#include "ca/message_service.h"
#include "platform/listen_socket.h"

namespace kestrune::ca {

namespace {

constexpr const char* kInitiationPath = "/fedi/init";
constexpr const char* kMessagePath = "/fedi/msg";
constexpr std::size_t kMaxHostLength = 255;

// urlHost returns host as a URL writes it; a wildcard address becomes the loopback one.
std::string urlHost(const std::string& host) {
  if (host.empty() || host == "0.0.0.0") return "127.0.0.1";
  if (host == "::") return "[::1]";
  if (host.find(':') != std::string::npos) return "[" + host + "]";
  return host;
}

// saneHostHeader: a host[:port] of letters, digits and . - : [ ] only.
bool saneHostHeader(const std::string& value) {
  if (value.empty() || value.size() > kMaxHostLength) return false;
  for (const char c : value) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' || c == '[' ||
                         c == ']';
    if (!allowed) return false;
  }
  return true;
}

template <class Rep, class Period>
std::pair<time_t, time_t> secondsAndMicros(std::chrono::duration<Rep, Period> duration) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  return {static_cast<time_t>(micros / 1'000'000), static_cast<time_t>(micros % 1'000'000)};
}

}  // namespace

struct AuthorityServer::Running {
  AuthorityContext context;
  httplib::Server server;
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  std::string address;  // host:port as URLs write it
  int port = 0;
  std::intptr_t listenSocket = -1;  // the socket the library bound, once it has

  std::string url(const char* path) const { return "http://" + address + path; }

  void initiation(const httplib::Request& request, httplib::Response& response) const {
    // The message URL is given on the host name the client reached us by, when it said one.
    const std::string host = request.get_header_value("Host");
    const std::string base = "http://" + (saneHostHeader(host) ? host : address);
    response.set_content("FEDI-SET-URL: " + base + kMessagePath +
                             "\r\nFEDI-CASID: " + context.identity.casid1 + "\r\n",
                         "text/plain; charset=us-ascii");
  }

  void message(const httplib::Request& request, httplib::Response& response) const {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request.body.data());
    HttpAnswer answer = answerMessage(context, {bytes, request.body.size()});
    response.status = answer.status;
    response.set_content(std::string(answer.body.begin(), answer.body.end()), answer.contentType);
  }

  void configure(const ServerOptions& options) {
    const unsigned workers = options.workers > 0 ? options.workers : 1;
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    const auto [readSeconds, readMicros] = secondsAndMicros(options.readTimeout);
    const auto [writeSeconds, writeMicros] = secondsAndMicros(options.writeTimeout);
    server.set_read_timeout(readSeconds, readMicros);
    server.set_write_timeout(writeSeconds, writeMicros);
    server.set_keep_alive_timeout(static_cast<time_t>(options.keepAliveTimeout.count()));
    server.set_payload_max_length(options.maxBodyBytes);
    server.set_socket_options([this](socket_t socket) {
      listenSocket = static_cast<std::intptr_t>(socket);
      platform::setExclusiveListen(listenSocket);
    });
    server.Get(kInitiationPath,
               [this](const httplib::Request& request, httplib::Response& response) {
                 initiation(request, response);
               });
    server.Post(kMessagePath, [this](const httplib::Request& request, httplib::Response& response) {
      message(request, response);
    });
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
    auto running = std::make_unique<Running>();
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

}  // namespace kestrune::ca
