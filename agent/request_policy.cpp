#include "agent/request_policy.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "com/names.h"

namespace kestrune::agent {
namespace {

constexpr std::string_view kSessionPrefix = "/v1/session/";
constexpr std::size_t kMaxLogText = 200;
// Session IDs are 32 hex digits; a run of half that is masked in a logged path.
constexpr std::size_t kMaskedHexRun = 16;

}  // namespace

bool hostAllowed(std::string_view host, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (host.size() <= suffix.size() || host.substr(host.size() - suffix.size()) != suffix) {
    return false;
  }
  const std::string_view name = host.substr(0, host.size() - suffix.size());
  return name == "127.0.0.1" || name == "[::1]" || com::equalsIgnoringCase(name, "localhost");
}

OriginCheck checkOrigin(const std::vector<std::string>& originHeaders,
                        const std::vector<std::string>& allowList) {
  if (originHeaders.empty()) return OriginCheck::absent;
  if (originHeaders.size() > 1) return OriginCheck::refused;
  const std::string& origin = originHeaders.front();
  return std::find(allowList.begin(), allowList.end(), origin) != allowList.end()
             ? OriginCheck::allowed
             : OriginCheck::refused;
}

HeaderList corsHeaders(std::string_view origin) {
  return {{"Access-Control-Allow-Origin", std::string(origin)}, {"Vary", "Origin"}};
}

HeaderList preflightHeaders(std::string_view origin,
                            std::optional<std::string_view> privateNetwork) {
  HeaderList headers = corsHeaders(origin);
  headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, DELETE");
  headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
  headers.emplace_back("Access-Control-Max-Age", "600");
  if (privateNetwork && com::equalsIgnoringCase(*privateNetwork, "true")) {
    headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  }
  return headers;
}

int httpStatus(AgentError error) {
  switch (error) {
    case AgentError::badJson:
    case AgentError::badCall:
      return 400;
    case AgentError::originRefused:
    case AgentError::hostRefused:
    case AgentError::consentRefused:
    case AgentError::callRefused:
      return 403;
    case AgentError::unknownSession:
    case AgentError::notFound:
      return 404;
    case AgentError::tooLarge:
      return 413;
    case AgentError::tooManyRequests:
    case AgentError::busy:
      return 429;
    case AgentError::workerFailed:
      return 502;
    case AgentError::tooManySessions:
      return 503;
  }
  return 500;
}

std::string_view errorCode(AgentError error) {
  switch (error) {
    case AgentError::badJson:
      return "bad-json";
    case AgentError::badCall:
      return "bad-call";
    case AgentError::originRefused:
      return "origin-refused";
    case AgentError::hostRefused:
      return "host-refused";
    case AgentError::consentRefused:
      return "consent-refused";
    case AgentError::callRefused:
      return "call-refused";
    case AgentError::unknownSession:
      return "unknown-session";
    case AgentError::notFound:
      return "not-found";
    case AgentError::tooLarge:
      return "too-large";
    case AgentError::tooManyRequests:
      return "too-many-requests";
    case AgentError::busy:
      return "busy";
    case AgentError::workerFailed:
      return "worker-failed";
    case AgentError::tooManySessions:
      return "too-many-sessions";
  }
  return "agent-failed";
}

std::string errorBody(AgentError error, std::string_view text) {
  const nlohmann::json body = {{"error", errorCode(error)}, {"text", text}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string logText(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, kMaxLogText)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < ' ' || byte > '~' || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  if (text.size() > kMaxLogText) out += "...";
  return out.empty() ? "-" : out;
}

std::string logPath(std::string_view path) {
  // Whatever the path looks like (a doubled slash, a prefix before it), no session ID reaches
  // the log: the segment after the session prefix, and any long run of hex digits, show as *.
  std::string masked;
  std::size_t hexRun = 0;
  for (const char c : path) {
    masked += c;
    hexRun = std::isxdigit(static_cast<unsigned char>(c)) != 0 ? hexRun + 1 : 0;
    if (hexRun == kMaskedHexRun) masked.replace(masked.size() - hexRun, hexRun, "*");
    if (hexRun > kMaskedHexRun) masked.pop_back();
  }
  const std::string_view prefix = kSessionPrefix.substr(1);
  for (std::size_t at = masked.find(prefix); at != std::string::npos;
       at = masked.find(prefix, at + 1)) {
    const std::size_t start = at + prefix.size();
    const std::size_t end = std::min(masked.find('/', start), masked.size());
    masked.replace(start, end - start, "*");
  }
  return logText(masked);
}

}  // namespace kestrune::agent
