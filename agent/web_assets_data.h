// The web files built into the program, as the build writes them from agent/web/.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace kestrune::agent {

struct EmbeddedWebFile {
  std::string_view path;  // "/kestrune.js", "/demo/index.html", ...
  std::string_view contentType;
  const unsigned char* bytes;
  std::size_t size;
};

std::span<const EmbeddedWebFile> embeddedWebFiles();

}  // namespace kestrune::agent
