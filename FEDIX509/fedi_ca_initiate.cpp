// The initiation: the authority answers a GET with text lines, two of which name the URL for
// certification messages and the authority's identifier.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_net_internal.h"

namespace {

constexpr std::string_view kSetUrlKey = "FEDI-SET-URL: ";
constexpr std::string_view kCasidKey = "FEDI-CASID: ";

// replaceValue stores a malloc'd copy of value in *field, releasing the old one; false when
// memory is exhausted (the old value then stays).
bool replaceValue(char** field, std::string_view value) {
  auto* copy = static_cast<char*>(std::malloc(value.size() + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, value.data(), value.size());
  copy[value.size()] = '\0';
  std::free(*field);
  *field = copy;
  return true;
}

}  // namespace

namespace kestrune::fedi::detail {

int readInitiationLines(std::string_view text, CaConnection& connection) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    char** field = nullptr;
    if (line.starts_with(kSetUrlKey)) {
      field = &connection.setUrl;
      line.remove_prefix(kSetUrlKey.size());
    } else if (line.starts_with(kCasidKey)) {
      field = &connection.casid;
      line.remove_prefix(kCasidKey.size());
    }
    if (field != nullptr && !replaceValue(field, line)) return NET_NO_MEMORY;
  }
  return NET_OK;
}

}  // namespace kestrune::fedi::detail

int ca_Initiate(const char* url, CaConnection* connection) {
  if (connection == nullptr) return NET_CALL_FAILED;
  *connection = CaConnection{};
  NetResponse response{};
  int result = net_Request(url, "GET", kCaInitiationType, nullptr, 0, &response);
  if (result == NET_OK && response.body != nullptr) {
    const std::string_view text(reinterpret_cast<const char*>(response.body),
                                static_cast<std::size_t>(response.bodyLength));
    result = kestrune::fedi::detail::readInitiationLines(text, *connection);
  }
  if (result != NET_OK) {
    result = kestrune::fedi::detail::caResult(result, response);
    ca_FreeConnection(connection);  // a failed initiation leaves nothing to release
  }
  net_FreeResponse(&response);
  return result;
}
