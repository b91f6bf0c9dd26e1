// A build without the web part's files: the agent serves no client script.
#include "agent/web_assets.h"

namespace kestrune::agent {

std::optional<WebAsset> webAsset(std::string_view) {
  return std::nullopt;
}

}  // namespace kestrune::agent
