#include "agent/origin.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrune::agent {
namespace {

constexpr std::size_t kMaxOrigin = 512;
constexpr std::size_t kMaxHost = 253;
constexpr std::size_t kMaxLabel = 63;

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// dnsName checks a lower-case host of dot-separated labels: letters, digits and hyphens, a
// label neither empty nor starting or ending with a hyphen.
bool dnsName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHost) return false;
  for (std::size_t start = 0; start <= host.size();) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, end - start);
    if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-') {
      return false;
    }
    if (!std::all_of(label.begin(), label.end(), [](char c) { return isAlnum(c) || c == '-'; })) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// A host whose last label is all digits is an IPv4 address, which browsers write as four
// decimal numbers 0-255 without leading zeros; any other numeric form they rewrite, so it
// would never match.
bool ipv4Form(std::string_view host) {
  const std::size_t lastDot = host.rfind('.');
  const std::string_view last = host.substr(lastDot == std::string_view::npos ? 0 : lastDot + 1);
  if (!std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return true;  // a DNS name
  }
  int parts = 0;
  for (std::size_t start = 0; start <= host.size(); ++parts) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    const std::string_view part = host.substr(start, end - start);
    unsigned value = 256;
    const auto [at, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || error != std::errc{} || at != part.data() + part.size() || value > 255 ||
        (part.size() > 1 && part.front() == '0')) {
      return false;
    }
    start = end + 1;
  }
  return parts == 4;
}

// ipv6Literal checks the inside of [...] loosely: hexadecimal digits, colons and the dots of
// an embedded IPv4 address, at least two colons.
bool ipv6Literal(std::string_view inside) {
  if (inside.size() < 2 || inside.size() > 45) return false;
  return std::count(inside.begin(), inside.end(), ':') >= 2 &&
         std::all_of(inside.begin(), inside.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
         });
}

}  // namespace

std::optional<std::string> canonicalOrigin(std::string_view text, std::string& why) {
  if (text.size() > kMaxOrigin) {
    why = "an origin is at most 512 characters";
    return std::nullopt;
  }
  const std::size_t separator = text.find("://");
  if (separator == std::string_view::npos) {
    why = "an origin reads scheme://host[:port], for example https://bank.example";
    return std::nullopt;
  }
  std::string scheme(text.substr(0, separator));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), lower);
  if (scheme != "http" && scheme != "https") {
    why = "only http and https origins can be allowed";
    return std::nullopt;
  }
  std::string_view rest = text.substr(separator + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find_first_of("/?#@\\") != std::string_view::npos) {
    why = "an origin has no user, path, query or fragment: scheme://host[:port] only";
    return std::nullopt;
  }
  if (std::any_of(rest.begin(), rest.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80 || c <= ' '; })) {
    why = "write the host in ASCII (its punycode form), without spaces or control characters";
    return std::nullopt;
  }
  std::string host;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || !ipv6Literal(rest.substr(1, close - 1))) {
      why = "an IPv6 host is written in brackets, as [::1]";
      return std::nullopt;
    }
    host = std::string(rest.substr(0, close + 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      why = "only a port may follow the host";
      return std::nullopt;
    }
  } else {
    const std::size_t colon = rest.find(':');
    host = std::string(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon);
    std::transform(host.begin(), host.end(), host.begin(), lower);
    if (!dnsName(host) || !ipv4Form(host)) {
      why = "the host is no DNS name or IPv4 address";
      return std::nullopt;
    }
  }
  std::transform(host.begin(), host.end(), host.begin(), lower);
  if (!rest.empty()) {
    port = rest.substr(1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value == 0 ||
        value > 65535 || port.front() == '0') {
      why = "the port is a number from 1 to 65535";
      return std::nullopt;
    }
    const bool isDefault = (scheme == "http" && value == 80) || (scheme == "https" && value == 443);
    if (isDefault) port = {};
  }
  std::string origin = scheme + "://" + host;
  if (!port.empty()) origin.append(":").append(port);
  return origin;
}

bool plainHttpBeyondLoopback(std::string_view canonical) {
  constexpr std::string_view kPlain = "http://";
  if (canonical.substr(0, kPlain.size()) != kPlain) return false;
  std::string_view host = canonical.substr(kPlain.size());
  // A canonical host holds ':' only inside brackets: the port follows the last ':' after them.
  const std::size_t hostEnd =
      host.find(':', host.empty() || host.front() != '[' ? 0 : host.find(']'));
  host = host.substr(0, hostEnd);
  if (host == "localhost" || host == "[::1]") return false;
  // A canonical host whose last label is all digits is an IPv4 address of four decimal
  // numbers: 127.x.y.z is loopback.
  const std::string_view lastLabel = host.substr(host.rfind('.') + 1);
  const bool ipv4 = !lastLabel.empty() && std::all_of(lastLabel.begin(), lastLabel.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
  return !(ipv4 && host.substr(0, 4) == "127.");
}

std::string originFolderName(std::string_view canonical) {
  // A canonical origin's host holds ':' only inside brackets and never '_', so the '_' put in
  // for "://" and for the port's ':' can be told from the host's own characters.
  std::string name(canonical);
  if (const auto scheme = name.find("://"); scheme != std::string::npos) {
    name.replace(scheme, 3, "_");
  }
  std::replace(name.begin(), name.end(), ':', '_');
  return name;
}

}  // namespace kestrune::agent
