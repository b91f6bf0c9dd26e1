#include "agent/web_assets.h"

#include "agent/web_assets_data.h"

namespace kestrune::agent {

std::optional<WebAsset> webAsset(std::string_view path) {
  for (const EmbeddedWebFile& file : embeddedWebFiles()) {
    if (file.path == path) {
      return WebAsset{file.contentType,
                      std::string_view(reinterpret_cast<const char*>(file.bytes), file.size)};
    }
  }
  return std::nullopt;
}

}  // namespace kestrune::agent
