// The user's files are read as hostile all the same: bounded, never blocking on a FIFO put in
// their place, and replaced only by a file of our own making, renamed over them whole.
#include "platform/config_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_descriptor.h"
#include "platform/linux/bounded_read.h"
#include "platform/platform.h"

namespace kestrune::platform {
namespace {

constexpr int kTemporaryNameTries = 16;

// underBase returns $variable (when absolute), else $HOME/fallback, then "/kestrune" and
// relative; empty when neither variable helps.
std::string underBase(const char* variable, const char* fallback, std::string_view relative) {
  std::string path = environmentVariable(variable);
  if (path.empty() || path.front() != '/') {
    path = environmentVariable("HOME");
    if (path.empty()) return {};
    path.append("/").append(fallback);
  }
  path.append("/kestrune");
  if (!relative.empty()) path.append("/").append(relative);
  return path;
}

// makeFolders creates the folder and its missing parents, owner-only; 0 or errno.
int makeFolders(const std::string& folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    if (mkdir(folder.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// createTemporary opens a new file beside the target under a random name that no one else
// can have prepared: O_EXCL refuses an existing name, O_NOFOLLOW a link.
int createTemporary(const std::string& path, std::string& name) {
  const std::size_t slash = path.rfind('/');
  const std::string prefix = slash == std::string::npos
                                 ? "./." + path + "."
                                 : path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".";
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      if (errno == EINTR) continue;
      return -1;
    }
    name = prefix;
    for (unsigned char byte : random) {
      name.push_back("0123456789abcdef"[byte >> 4]);
      name.push_back("0123456789abcdef"[byte & 15]);
    }
    const int fd =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// othersMayWrite: the file's owner is another user than this one or root, or its group or
// anyone may write it. What such a file says would not be the user's word.
bool othersMayWrite(const struct stat& info) {
  return (info.st_uid != geteuid() && info.st_uid != 0) ||
         (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// readRegular opens path without blocking, so that a FIFO put in the file's place can't hang
// the open, and reads it when it is a regular file no other user may have written.
ConfigRead readRegular(const std::string& path, int flags, std::size_t limit, std::string& text) {
  text.clear();
  const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
  if (!fd) return errno == ENOENT ? ConfigRead::missing : ConfigRead::unreadable;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ConfigRead::unreadable;
  if (othersMayWrite(info)) return ConfigRead::othersMayWrite;
  switch (readBounded(fd.get(), static_cast<std::size_t>(info.st_size), limit, text)) {
    case BoundedRead::ok:
      return ConfigRead::ok;
    case BoundedRead::tooLarge:
      return ConfigRead::tooLarge;
    case BoundedRead::failed:
      break;
  }
  return ConfigRead::unreadable;
}

}  // namespace

std::string configFilePath(std::string_view name) {
  return underBase("XDG_CONFIG_HOME", ".config", name);
}

std::string dataFolderPath(std::string_view relative) {
  return underBase("XDG_DATA_HOME", ".local/share", relative);
}

ConfigRead readConfigFile(const std::string& path, std::size_t limit, std::string& text) {
  return readRegular(path, 0, limit, text);
}

ConfigRead readOwnFile(const std::string& path, std::size_t limit, std::string& text) {
  return readRegular(path, O_NOFOLLOW, limit, text);
}

ConfigRead checkOwnFile(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? ConfigRead::missing : ConfigRead::unreadable;
  if (!S_ISREG(info.st_mode)) return ConfigRead::unreadable;
  return othersMayWrite(info) ? ConfigRead::othersMayWrite : ConfigRead::ok;
}

ConfigRead checkOwnFolder(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? ConfigRead::missing : ConfigRead::unreadable;
  if (!S_ISDIR(info.st_mode)) return ConfigRead::unreadable;
  return othersMayWrite(info) ? ConfigRead::othersMayWrite : ConfigRead::ok;
}

int replaceConfigFile(const std::string& path, std::string_view text) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  if (const int error = makeFolders(folder); error != 0) return error;
  // A file kept elsewhere and linked here (a dotfile repository, say) is the user's to edit:
  // the rename would put a plain file in the link's place and leave the target behind.
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) return ELOOP;
  std::string temporary;
  const int fd = createTemporary(path, temporary);
  if (fd < 0) return errno != 0 ? errno : EIO;
  int error = 0;
  if (!writeAll(fd, text) || fsync(fd) != 0) error = errno != 0 ? errno : EIO;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return error;
  }
  // The rename itself reaches the disk with the folder's entry.
  if (const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return 0;
}

bool makeOwnerFolder(const std::string& path) {
  struct stat info {};
  return makeFolders(path) == 0 && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
}

int ConfigFileLock::acquire(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (const int error = makeFolders(folder); error != 0) return error;
  const std::string lockPath = folder + "/." + name + ".lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    close(fd);
    return error;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return 0;
}

}  // namespace kestrune::platform
