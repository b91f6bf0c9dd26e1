// The request primitive of the CA client: one HTTP request with the header text the
// authority expects, the status check and the whole body in one heap buffer.
#include <cstdlib>
#include <new>
#include <string>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_net_internal.h"
#include "platform/platform.h"

namespace {

// Windows' ERROR_INVALID_PARAMETER, as a WinInet call refuses a body length it can't send.
constexpr std::uint32_t kErrorInvalidParameter = 87;

// requestHeaders builds the header text in the order the authority's servers have always
// received it; Content-Length only when a body is given (so a GET carries none).
std::string requestHeaders(const char* contentType, const unsigned char* body,
                           std::int32_t bodyLength) {
  std::string headers = "Proxy-Connection: Keep-Alive\r\nConnection: close\r\n";
  if (contentType != nullptr) headers += "Content-Type: " + std::string(contentType) + "\r\n";
  if (body != nullptr) headers += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
  headers += "\r\n";
  return headers;
}

int sendRequest(const char* url, const char* verb, const char* contentType,
                const unsigned char* body, std::int32_t bodyLength, NetResponse& response) {
  if (bodyLength < 0 || (body == nullptr && bodyLength != 0)) {
    response.lastError = kErrorInvalidParameter;
    return NET_CALL_FAILED;
  }
  const std::string headers = requestHeaders(contentType, body, bodyLength);
  kestrune::fedi::detail::ResponseBody collected;
  bool noMemory = false;
  // Only a 200 answer's body is read.
  const kestrune::platform::HttpReader reader{[&](int status, std::int64_t length) {
                                                if (status != 200) return false;
                                                noMemory = !collected.begin(length);
                                                return !noMemory;
                                              },
                                              [&](std::span<const std::uint8_t> piece) {
                                                noMemory = !collected.append(piece);
                                                return !noMemory;
                                              }};
  kestrune::platform::HttpRequest request;
  request.url = url;
  request.verb = verb;
  request.headers = headers;
  if (body != nullptr) request.body = {body, static_cast<std::size_t>(bodyLength)};
  request.agent = kCaAgentName;
  request.timeoutMs = kCaTimeoutMs;

  const kestrune::platform::HttpOutcome outcome = kestrune::platform::httpRequest(request, reader);
  response.statusCode = outcome.status;
  response.lastError = outcome.error;
  if (outcome.noMemory || noMemory) return NET_NO_MEMORY;
  if (outcome.status == 0) return NET_CALL_FAILED;
  if (outcome.status != 200) {
    kestrune::platform::messageBox(
        "Connect to " + std::string(url) +
            " fail. Response status code = " + std::to_string(outcome.status),
        "");
    return NET_STATUS_NOT_OK;
  }
  response.body = collected.release(response.bodyLength);
  return NET_OK;
}

}  // namespace

int net_Request(const char* url, const char* verb, const char* contentType,
                const unsigned char* body, std::int32_t bodyLength, NetResponse* response) {
  if (response == nullptr) return NET_CALL_FAILED;
  *response = NetResponse{};
  try {
    return sendRequest(url, verb, contentType, body, bodyLength, *response);
  } catch (const std::bad_alloc&) {
    return NET_NO_MEMORY;
  }
}

void net_FreeResponse(NetResponse* response) {
  if (response == nullptr) return;
  std::free(response->body);
  response->body = nullptr;
  response->bodyLength = 0;
}

namespace kestrune::fedi::detail {

int caResult(int code, const NetResponse& response) {
  const bool winInet =
      response.lastError >= kWinInetErrorFirst && response.lastError <= kWinInetErrorLast;
  return winInet ? static_cast<int>(response.lastError) : code;
}

}  // namespace kestrune::fedi::detail
