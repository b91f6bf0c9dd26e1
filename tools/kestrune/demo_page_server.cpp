#include "tools/kestrune/demo_page_server.h"

#include <openssl/crypto.h>

#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "agent/web_assets.h"
#include "http_server/guarded_server.h"
#include "tools/kestrune/demo_checks.h"
#include "tools/kestrune/utf8.h"
#include "tools/kestrune/verify_edifact.h"

namespace kestrune::host {
namespace {

// A signed INVOIC and a certificate bag are a few kilobytes; anything near this is not one.
constexpr std::size_t kMaxBody = 1024 * 1024;

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(body.dump(), "application/json");
}

// checkSigned writes the message as it was signed (code page 950) and the bag beside the demo's
// other files and checks them as `kestrune verify-edifact` does.
nlohmann::json checkSigned(const std::string& dir, const std::string& message,
                           const std::string& bagBase64) {
  std::u16string text;
  if (!utf8ToUtf16(message, text)) return {{"ok", false}, {"text", "the message is not UTF-8"}};
  CertificateFacts facts;
  std::string why;
  if (!readBagFacts(bagBase64, facts, why)) return {{"ok", false}, {"text", why}};
  if (!writeSignedFiles(dir, text, facts.bagDer, why)) return {{"ok", false}, {"text", why}};
  std::ostringstream out;
  std::ostringstream err;
  const int status =
      runVerifyEdifact(pathIn(dir, kSignedMessageFile), pathIn(dir, kUserBagFile), {}, out, err);
  std::string said = out.str().empty() ? err.str() : out.str();
  while (!said.empty() && said.back() == '\n') said.pop_back();
  return {{"ok", status == 0}, {"text", said}};
}

http::GuardOptions guardOptions() {
  http::GuardOptions options;
  options.maxBodyBytes = kMaxBody;
  options.maxConnections = 32;
  options.maxConnectionsPerAddress = 32;
  // The settings hold the demo token's PIN: no other user of the machine reads them.
  options.sameUserOnly = true;
  return options;
}

}  // namespace

struct DemoPageServer::State {
  std::string dir;
  http::GuardedServer server{guardOptions(), nullptr};
  int port = 0;
  std::thread thread;
  std::mutex verifying;  // one check at a time: they share the files
  std::string settingsJson;
};

DemoPageServer::DemoPageServer(std::string dir) : state_(std::make_unique<State>()) {
  state_->dir = std::move(dir);
}

DemoPageServer::~DemoPageServer() {
  stop();
  if (!state_->settingsJson.empty()) {
    OPENSSL_cleanse(state_->settingsJson.data(), state_->settingsJson.size());
  }
}

bool DemoPageServer::listen(std::string& why) {
  state_->port = state_->server.bind_to_any_port("127.0.0.1");
  if (state_->port <= 0) {
    why = "cannot listen on 127.0.0.1 for the demo page";
    return false;
  }
  return true;
}

int DemoPageServer::port() const {
  return state_->port;
}

std::string DemoPageServer::origin() const {
  return "http://127.0.0.1:" + std::to_string(state_->port);
}

void DemoPageServer::serve(DemoPageSettings settings) {
  State& state = *state_;
  const nlohmann::json json = {{"agentPort", settings.agentPort},
                               {"module", settings.module},
                               {"pin", settings.pin},
                               {"caUrl", settings.caUrl},
                               {"caBag", settings.caBag},
                               {"passPhrase", settings.passPhrase},
                               {"userId", settings.userId},
                               {"orgId", settings.orgId}};
  state.settingsJson = json.dump();
  OPENSSL_cleanse(settings.pin.data(), settings.pin.size());
  OPENSSL_cleanse(settings.passPhrase.data(), settings.passPhrase.size());

  // The settings hold the demo token's PIN: only a page reached by this address gets them,
  // never one whose name an attacker pointed here (DNS rebinding).
  const std::string port = std::to_string(state.port);
  state.server.set_pre_routing_handler(
      [port](const httplib::Request& request, httplib::Response& response) {
        const std::string host = request.get_header_value("Host");
        if (host != "127.0.0.1:" + port && host != "localhost:" + port) {
          answerJson(response, 403, {{"error", "host-refused"}});
          http::GuardedServer::refuseEarly(response, 403);
          return httplib::Server::HandlerResponse::Handled;
        }
        if (const int refusal = http::bodyFraming(request, kMaxBody).refusal; refusal != 0) {
          answerJson(response, refusal, {{"error", "body-refused"}});
          http::GuardedServer::refuseEarly(response, refusal);
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  state.server.Get(R"(/|/demo\.js|/demo\.css)", [](const httplib::Request& request,
                                                   httplib::Response& response) {
    const std::string path = request.path == "/" ? "/demo/index.html" : "/demo" + request.path;
    const auto asset = agent::webAsset(path);
    if (!asset) {
      response.status = 404;
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(std::string(asset->body), std::string(asset->contentType));
  });
  state.server.Get("/demo.json", [&state](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(state.settingsJson, "application/json");
  });
  state.server.Post(
      "/verify", [&state](const httplib::Request& request, httplib::Response& response) {
        // JSON only: a page of another origin can't send that without a preflight, which this
        // server doesn't answer, so it can't have the demo's files rewritten.
        if (!request.get_header_value("Content-Type").starts_with("application/json")) {
          answerJson(response, 415, {{"ok", false}, {"text", "send JSON"}});
          return;
        }
        const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("message") ||
            !body["message"].is_string() || !body.contains("certificate") ||
            !body["certificate"].is_string()) {
          answerJson(response, 400,
                     {{"ok", false}, {"text", "send {\"message\": ..., \"certificate\": ...}"}});
          return;
        }
        const std::lock_guard lock(state.verifying);
        answerJson(response, 200,
                   checkSigned(state.dir, body["message"].get_ref<const std::string&>(),
                               body["certificate"].get_ref<const std::string&>()));
      });
  state.thread = std::thread([&state] { state.server.listen_after_bind(); });
}

void DemoPageServer::stop() {
  state_->server.stop();
  state_->server.wakeAll();
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace kestrune::host
