// The provider file, $XDG_CONFIG_HOME/kestrune/providers.json: providers by name, each a
// PKCS#11 module and optionally the label of the token to use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::cryptoapi {

struct ProviderEntry {
  std::string module;
  std::string tokenLabel;  // empty: the first slot with a token
};

// The entry named `name` in the file's text; none when the text is not an object of that shape,
// or has no such name.
std::optional<ProviderEntry> findProviderEntry(std::string_view json, std::string_view name);
// The same, read from the user's provider file (at most 64 KiB).
std::optional<ProviderEntry> lookUpProvider(std::string_view name);

}  // namespace kestrune::cryptoapi
