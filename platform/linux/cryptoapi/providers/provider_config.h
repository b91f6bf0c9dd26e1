// The provider file, $XDG_CONFIG_HOME/kestrune/providers.json: providers by name, each a
// PKCS#11 module and optionally the label of the token to use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// providerFilePath returns where the user's provider file is: $XDG_CONFIG_HOME (when absolute),
// else $HOME/.config, then kestrune/providers.json; empty when neither variable helps.
std::string providerFilePath();

enum class ProviderFileRead { ok, missing, unreadable, tooLarge };
// readProviderFile fills text with the file at path (at most kMaxProviderFile bytes): ok, missing
// when there is no such file, unreadable (not a regular file, no permission, a read failed),
// tooLarge; text is empty unless ok.
ProviderFileRead readProviderFile(const std::string& path, std::string& text);

// replaceProviderFile writes text as the file at path, creating its missing folders (owner
// only): a temporary file of its own in the same folder (mode 0600, never through a link) is
// written, flushed to disk and renamed over the file, so a reader sees the old file or the new
// one, never a part. It returns 0, or the errno of the step that failed (the old file is then
// unchanged and the temporary file removed); ELOOP when the file is a symbolic link, which is
// left as it is.
int replaceProviderFile(const std::string& path, std::string_view text);

}  // namespace kestrune::cryptoapi
