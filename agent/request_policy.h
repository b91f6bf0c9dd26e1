// Which requests the agent answers, decided from their headers alone: the Host a page's
// browser connected with (DNS rebinding gives a hostile name our address), the Origin of the
// page against the allow-list, and the CORS and Private Network Access headers that let an
// allowed page read the answer. Pure functions: the server applies them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::agent {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// hostAllowed tells whether a Host header names the agent itself: "127.0.0.1:PORT",
// "[::1]:PORT" or "localhost:PORT" (any case), the port the agent listens on. Any other name,
// another port or no port is refused: a page reaching the loopback address under a name of
// its own is someone else's page.
bool hostAllowed(std::string_view host, int port);

enum class OriginCheck { allowed, absent, refused };

// checkOrigin judges the request's Origin headers (all of them: more than one is refused)
// against the allow-list: allowed only for an exact match of a listed origin; "null" and
// anything unlisted is refused.
OriginCheck checkOrigin(const std::vector<std::string>& originHeaders,
                        const std::vector<std::string>& allowList);

// corsHeaders returns the headers that let the allowed origin read an answer.
HeaderList corsHeaders(std::string_view origin);

// preflightHeaders returns the answer's headers to an allowed origin's preflight: the CORS
// headers, the methods and header a page uses, how long a browser may keep them, and the
// Private Network Access grant when the browser asked for it (privateNetwork: the request's
// Access-Control-Request-Private-Network header, "true" asks).
HeaderList preflightHeaders(std::string_view origin,
                            std::optional<std::string_view> privateNetwork);

// The agent's own errors and their HTTP statuses.
enum class AgentError {
  badJson,
  badCall,
  originRefused,
  hostRefused,
  consentRefused,
  callRefused,
  unknownSession,
  notFound,
  tooLarge,
  tooManyRequests,
  busy,
  workerFailed,
  tooManySessions,
};

int httpStatus(AgentError error);
std::string_view errorCode(AgentError error);  // "bad-json", ...
// errorBody returns {"error": code, "text": text} as JSON text.
std::string errorBody(AgentError error, std::string_view text);

// logText writes client-given text for a log line: printable ASCII as it is, anything else
// (and quote, backslash) as \xHH, at most 200 characters, so that no request forges a line.
std::string logText(std::string_view text);
// logPath names a request path for the log without its session ID, which is the session's
// key: "/v1/session/*/call".
std::string logPath(std::string_view path);

}  // namespace kestrune::agent
