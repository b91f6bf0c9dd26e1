// The provider file is the user's, but it is read as hostile all the same: bounded (as every
// configuration file is), parsed without exceptions, and any entry that isn't exactly the
// expected shape is ignored.
#include "platform/linux/cryptoapi/providers/provider_config.h"

#include <nlohmann/json.hpp>

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxText = 4096;

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
  const std::string path = providerFilePath();
  std::string text;
  if (path.empty() || readProviderFile(path, text) != ProviderFileRead::ok) return std::nullopt;
  return findProviderEntry(text, name);
}

std::string providerFilePath() {
  return platform::configFilePath("providers.json");
}

ProviderFileRead readProviderFile(const std::string& path, std::string& text) {
  return platform::readConfigFile(path, kMaxProviderFile, text);
}

int replaceProviderFile(const std::string& path, std::string_view text) {
  return platform::replaceConfigFile(path, text);
}

}  // namespace kestrune::cryptoapi
