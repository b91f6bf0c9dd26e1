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

enum class ConfigRead { ok, missing, unreadable, tooLarge, othersMayWrite };
// readConfigFile fills text with the file at path when it holds at most limit bytes: ok,
// missing when there is no such file, unreadable (not a regular file, no permission, a read
// failed), tooLarge, othersMayWrite (owned by another user than this one or root, or writable
// by its group or by others: what it says would not be the user's word); text is empty unless
// ok. These files choose the modules loaded into the process and the pages that reach the
// token.
ConfigRead readConfigFile(const std::string& path, std::size_t limit, std::string& text);

// readOwnFile reads a file the user's data keeps (a store's certificate or key property, a key
// container) as readConfigFile does, but never through a symbolic link (unreadable), and into
// a buffer that leaves no copy behind as it grows: a caller reading a secret wipes text alone.
ConfigRead readOwnFile(const std::string& path, std::size_t limit, std::string& text);

// checkOwnFile tells, without reading it, whether path is a regular file (not a symbolic link)
// that no other user may have written: ok, missing, unreadable (another kind of file, or it
// can't be looked at), othersMayWrite, by readConfigFile's rule.
ConfigRead checkOwnFile(const std::string& path);
// checkOwnFolder is the same for a folder (a symbolic link to one counts as the folder): what
// a folder others may write holds could have been put there or swapped by them.
ConfigRead checkOwnFolder(const std::string& path);

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

// ConfigFileLock serialises the read-change-write of one configuration file between processes:
// two commands changing the file at once would otherwise each write their own change over the
// other's. It holds an exclusive lock (flock, waiting) on ".NAME.lock" beside the file, made
// owner-only and never through a link. Readers need no lock: the file is replaced whole.
class ConfigFileLock {
 public:
  ConfigFileLock() = default;
  ~ConfigFileLock();
  ConfigFileLock(const ConfigFileLock&) = delete;
  ConfigFileLock& operator=(const ConfigFileLock&) = delete;
  // acquire makes the file's missing folders (owner only) and waits for the lock: 0, or the
  // errno of the step that failed.
  int acquire(const std::string& path);

 private:
  int fd_ = -1;
};

}  // namespace kestrune::platform
