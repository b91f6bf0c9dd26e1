// The provider file, $XDG_CONFIG_HOME/kestrune/providers.json: providers by name, each a
// PKCS#11 module and optionally the label of the token to use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/config_files.h"

namespace kestrune::cryptoapi {

struct ProviderEntry {
  std::string module;
  std::string tokenLabel;  // empty: the first slot with a token
};

// The file is read whole; a larger one is refused rather than cut.
inline constexpr std::size_t kMaxProviderFile = 64 * 1024;

// The entry named `name` in the file's text; none when the text is not an object of that shape,
// or has no such name.
std::optional<ProviderEntry> findProviderEntry(std::string_view json, std::string_view name);
// The same, read from the user's provider file (at most kMaxProviderFile bytes).
std::optional<ProviderEntry> lookUpProvider(std::string_view name);

// providerFilePath returns where the user's provider file is: configFilePath("providers.json").
std::string providerFilePath();

// The provider file is read and replaced as every configuration file is (config_files.h):
// readProviderFile reads at most kMaxProviderFile bytes; replaceProviderFile replaces it
// atomically, owner-only, never through a symbolic link (ELOOP).
using ProviderFileRead = platform::ConfigRead;
ProviderFileRead readProviderFile(const std::string& path, std::string& text);
int replaceProviderFile(const std::string& path, std::string_view text);

}  // namespace kestrune::cryptoapi
