// The operating-system calls of the certification authority's folder: private files, the
// folder's lock and checks. Beside platform.h because only fedi-ca needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace kestrune::platform {

// Files of the authority's folder, which hold its key and its holders' pass phrases.
enum class PrivateFileStatus { ok, exists, cannotCreate, cannotWrite };
// createPrivateFile makes a new file readable and writable by its owner only from its first
// moment (never a wider mode then narrowed), never through a symbolic link, never over an
// existing file, and writes bytes to the disk. A file it could not fill is removed again.
PrivateFileStatus createPrivateFile(const char* path, std::span<const std::uint8_t> bytes);

// makePrivateFolder makes path (and its missing parents) with access for its owner only;
// true when it exists afterwards.
bool makePrivateFolder(const char* path);

enum class FolderStatus { ok, missing, notAFolder, notOurs, writableByOthers };
// checkPrivateFolder tells whether path is a folder owned by this process's user that no
// other user can write into (no group or other write bit).
FolderStatus checkPrivateFolder(const char* path);

// A lock held on a file of the folder (flock, exclusive, not waiting): one holder at a time
// across processes. The file is made readable by its owner only and never through a link.
class FolderLock {
 public:
  enum class Status { ok, busy, cannotOpen };
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  Status acquire(const char* lockFilePath);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// openPrivateAppend opens path for appending, made readable by its owner only when it is new,
// never through a link; null on failure. The caller closes it with fclose.
std::FILE* openPrivateAppend(const char* path);

// fileMode returns the permission bits of path (not following a link), or -1.
int fileMode(const char* path);

}  // namespace kestrune::platform
