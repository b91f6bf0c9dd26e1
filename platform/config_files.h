// The user's own configuration and data files: where they are (the XDG base directories) and
// how they are read and replaced. Small JSON files of settings (key providers, the agent's
// allow-list and modules) share these rules: bounded reads, atomic owner-only replacement,
// never through a symbolic link.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune::platform {

// configFilePath returns $XDG_CONFIG_HOME (when absolute), else $HOME/.config, then
// "kestrune/" and name; empty when neither variable helps.
std::string configFilePath(std::string_view name);
// dataFolderPath returns $XDG_DATA_HOME (when absolute), else $HOME/.local/share, then
// "kestrune/" and relative; empty when neither variable helps.
std::string dataFolderPath(std::string_view relative);

enum class ConfigRead { ok, missing, unreadable, tooLarge };
// readConfigFile fills text with the file at path when it holds at most limit bytes: ok,
// missing when there is no such file, unreadable (not a regular file, no permission, a read
// failed), tooLarge; text is empty unless ok.
ConfigRead readConfigFile(const std::string& path, std::size_t limit, std::string& text);

// replaceConfigFile writes text as the file at path, creating its missing folders (owner
// only): a temporary file of its own in the same folder (mode 0600, never through a link) is
// written, flushed to disk and renamed over the file, so a reader sees the old file or the new
// one, never a part. It returns 0, or the errno of the step that failed (the old file is then
// unchanged and the temporary file removed); ELOOP when the file is a symbolic link, which is
// left as it is.
int replaceConfigFile(const std::string& path, std::string_view text);

// makeOwnerFolder makes path and its missing parents, each new one with access for its owner
// only; true when path is a folder afterwards, not a symbolic link to one (a link planted there
// would take what is written in it elsewhere).
bool makeOwnerFolder(const std::string& path);

}  // namespace kestrune::platform
