#include "platform/authority_os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace kestrune::platform {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PrivateFileStatus createPrivateFile(const char* path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) return errno == EEXIST ? PrivateFileStatus::exists : PrivateFileStatus::cannotCreate;
  // The mode given to open is narrowed by the umask, never widened: 0600 or less from the start.
  const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (written && closed) return PrivateFileStatus::ok;
  ::unlink(path);
  return PrivateFileStatus::cannotWrite;
}

bool makePrivateFolder(const char* path) {
  std::error_code error;
  const std::filesystem::path folder(path);
  if (folder.has_parent_path() && !folder.parent_path().empty()) {
    std::filesystem::create_directories(folder.parent_path(), error);
  }
  if (::mkdir(path, S_IRWXU) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

FolderStatus checkPrivateFolder(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) return FolderStatus::missing;
  if (!S_ISDIR(info.st_mode)) return FolderStatus::notAFolder;
  if (info.st_uid != ::geteuid()) return FolderStatus::notOurs;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return FolderStatus::writableByOthers;
  return FolderStatus::ok;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

FolderLock::Status FolderLock::acquire(const char* lockFilePath) {
  const int fd = ::open(lockFilePath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) return Status::cannotOpen;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Status::busy : Status::cannotOpen;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return Status::ok;
}

std::FILE* openPrivateAppend(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "a");
  if (file == nullptr) ::close(fd);
  return file;
}

int fileMode(const char* path) {
  struct stat info {};
  if (::lstat(path, &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

}  // namespace kestrune::platform
