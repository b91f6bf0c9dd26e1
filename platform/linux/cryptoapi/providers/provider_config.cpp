// The provider file is the user's, but it is read as hostile all the same: bounded, parsed
// without exceptions, and any entry that isn't exactly the expected shape is ignored.
#include "platform/linux/cryptoapi/providers/provider_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxProviderFile = 64 * 1024;
constexpr std::size_t kMaxText = 4096;

std::string providerFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && *config == '/') return std::string(config) + "/kestrune/providers.json";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::string(home) + "/.config/kestrune/providers.json";
}

bool readBounded(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxProviderFile)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return n == 0 && text.size() <= kMaxProviderFile;
}

bool shortText(const nlohmann::json& value) {
  return value.is_string() && !value.get_ref<const std::string&>().empty() &&
         value.get_ref<const std::string&>().size() <= kMaxText &&
         value.get_ref<const std::string&>().find('\0') == std::string::npos;
}

}  // namespace

std::optional<ProviderEntry> findProviderEntry(std::string_view json, std::string_view name) {
  auto document = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  auto it = document.find(std::string(name));
  if (it == document.end() || !it->is_object()) return std::nullopt;
  auto module = it->find("pkcs11");
  if (module == it->end() || !shortText(*module)) return std::nullopt;
  ProviderEntry entry{module->get<std::string>(), {}};
  if (auto token = it->find("token"); token != it->end()) {
    if (!shortText(*token)) return std::nullopt;
    entry.tokenLabel = token->get<std::string>();
  }
  return entry;
}

std::optional<ProviderEntry> lookUpProvider(std::string_view name) {
  std::string path = providerFilePath();
  std::string text;
  if (path.empty() || !readBounded(path, text)) return std::nullopt;
  return findProviderEntry(text, name);
}

}  // namespace kestrune::cryptoapi
