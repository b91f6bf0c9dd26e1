// Web origins as the local agent's allow-list keeps them and as browsers send them in the
// Origin header: "scheme://host" or "scheme://host:port", the ASCII serialization of an
// http or https origin, compared byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::agent {

// canonicalOrigin returns the origin that text names, as a browser serializes it: scheme and
// host in lower case, the port left out when it is the scheme's default (80 for http, 443 for
// https). Accepted: http or https, a DNS name of ASCII labels (letters, digits, hyphens), an
// IPv4 address or a bracketed IPv6 address, an optional port 1-65535, an optional final "/".
// Anything else (user info, a path, a query or fragment, another scheme, a host outside ASCII,
// "null") gives nullopt and the reason in why.
std::optional<std::string> canonicalOrigin(std::string_view text, std::string& why);

// plainHttpBeyondLoopback: a canonical origin whose pages come over plain HTTP from a host
// other than this machine's loopback (127.0.0.0/8, [::1], localhost), so that anyone on the
// way can rewrite them.
bool plainHttpBeyondLoopback(std::string_view canonical);

// originFolderName names the origin's own folder: "https://bank.example:8443" gives
// "https_bank.example_8443", "http://[::1]:8080" gives "http_[__1]_8080". For canonical
// origins the name is one path component, never "." or "..", and no two origins share one.
std::string originFolderName(std::string_view canonical);

}  // namespace kestrune::agent
