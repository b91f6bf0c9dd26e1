// The files the agent serves: the JavaScript client that pages import, and the demo's page.
#pragma once

#include <optional>
#include <string_view>

namespace kestrune::agent {

struct WebAsset {
  std::string_view contentType;  // "text/javascript; charset=utf-8", ...
  std::string_view body;
};

// webAsset returns the file served at path ("/kestrune.js", "/demo/index.html", ...), built
// into the program from agent/web/; nullopt for any other path.
std::optional<WebAsset> webAsset(std::string_view path);

}  // namespace kestrune::agent
