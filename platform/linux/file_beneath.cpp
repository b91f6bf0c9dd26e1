// openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS resolves a name in one call and refuses
// every link on the way; where it is missing (kernels before 5.6, or a seccomp filter that
// answers ENOSYS or EPERM), the name is walked a component at a time with O_NOFOLLOW, each
// folder opened relative to the one before. Either way no path is ever looked up twice.
#include "platform/file_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace kestrune::platform {
namespace {

constexpr std::size_t kMaxName = 4095;

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
// O_NONBLOCK: a pipe opens at once instead of waiting for its other end; O_NOCTTY: a terminal
// never becomes the process's own. Neither opens anything but a regular file for long.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::atomic<bool> walkForced{false};
std::atomic<bool> openat2Missing{false};

struct Opened {
  FileDescriptor descriptor;
  int error = 0;
};

// plainComponents splits a relative name into its components; false for an absolute name, or
// an empty, "." or ".." component. The walk relies on it: it takes each component as a name
// in the folder before.
bool plainComponents(std::string_view name, std::vector<std::string>& components) {
  if (name.empty() || name.size() > kMaxName || name.front() == '/') return false;
  std::size_t start = 0;
  while (true) {
    const auto end = name.find('/', start);
    const std::string_view component = name.substr(start, end - start);
    if (component.empty() || component == "." || component == ".." ||
        component.find('\0') != std::string_view::npos) {
      return false;
    }
    components.emplace_back(component);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

BeneathStatus statusOf(int error) {
  switch (error) {
    case ENOENT:
      return BeneathStatus::missing;
    case ELOOP:  // a link where none may be
    case EXDEV:  // a resolution that would leave the folder
      return BeneathStatus::link;
    case ENOTDIR:
      return BeneathStatus::notFolder;
    case EISDIR:  // a folder opened for writing
    case ENXIO:   // a pipe without a reader, a socket, a device without its driver
      return BeneathStatus::notRegular;
    case EACCES:
    case EPERM:
    case EROFS:
      return BeneathStatus::denied;
    case ENAMETOOLONG:
      return BeneathStatus::badName;
    default:
      return BeneathStatus::failed;
  }
}

// withOpenat2 opens name beneath folder in one call; false when openat2 can't be used here,
// and the caller walks instead. EPERM is also what a real refusal gives: the walk then meets
// the same refusal and reports it.
bool withOpenat2(int folder, const std::string& name, int flags, mode_t mode, Opened& out) {
#ifdef SYS_openat2
  if (walkForced || openat2Missing) return false;
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long descriptor = ::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how);
  if (descriptor >= 0) {
    out.descriptor = FileDescriptor(static_cast<int>(descriptor));
    return true;
  }
  const int error = errno;
  if (error == ENOSYS) openat2Missing = true;
  if (error == ENOSYS || error == EPERM) return false;
  out.error = error;
  return true;
#else
  (void)folder, (void)name, (void)flags, (void)mode, (void)out;
  return false;
#endif
}

// refusedLink tells a link from another non-folder when O_NOFOLLOW | O_DIRECTORY refused a
// component with ENOTDIR: only for the reason given, the refusal stands either way.
int refusedLink(int folder, const std::string& component, int error) {
  struct stat info {};
  if (error == ENOTDIR && ::fstatat(folder, component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    return ELOOP;
  }
  return error;
}

// walk opens each component but the last as a folder, relative to the one before, and the
// last with flags; O_NOFOLLOW on every step.
Opened walk(int folder, const std::vector<std::string>& components, int flags, mode_t mode) {
  Opened out;
  FileDescriptor current;
  int at = folder;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    const int stepFlags = (last ? flags : kFolderFlags) | O_NOFOLLOW;
    const int descriptor = ::openat(at, components[i].c_str(), stepFlags, mode);
    if (descriptor < 0) {
      out.error = refusedLink(at, components[i], errno);
      return out;
    }
    current = FileDescriptor(descriptor);
    at = current.get();
  }
  out.descriptor = std::move(current);
  return out;
}

// openNoLinks opens a relative name of plain components beneath folder, through no link.
Opened openNoLinks(int folder, const std::vector<std::string>& components, int flags, mode_t mode) {
  std::string name;
  for (const std::string& component : components) {
    if (!name.empty()) name += '/';
    name += component;
  }
  Opened out;
  if (withOpenat2(folder, name, flags, mode, out)) return out;
  return walk(folder, components, flags, mode);
}

// openLeafForWriting creates the file, or opens it when it exists: O_EXCL tells which, so
// only a file this open made is ever removed again. A name removed between the two opens is
// tried again.
BeneathStatus openLeafForWriting(const std::vector<std::string>& leaf, FileBeneath& out) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Opened made = openNoLinks(out.folder.get(), leaf, kWriteFlags | O_CREAT | O_EXCL, 0600);
    if (made.descriptor) {
      out.file = std::move(made.descriptor);
      out.created = true;
      return BeneathStatus::ok;
    }
    if (made.error != EEXIST) return statusOf(made.error);
    Opened existing = openNoLinks(out.folder.get(), leaf, kWriteFlags, 0);
    if (existing.descriptor) {
      out.file = std::move(existing.descriptor);
      return BeneathStatus::ok;
    }
    if (existing.error != ENOENT) return statusOf(existing.error);
  }
  return BeneathStatus::failed;
}

// checkOpened looks at what was opened, never at a name: a regular file with one name only.
// A second name may lie outside the folder, and writing through this one would change it.
BeneathStatus checkOpened(const FileDescriptor& file) {
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return BeneathStatus::failed;
  if (!S_ISREG(info.st_mode)) return BeneathStatus::notRegular;
  if (info.st_nlink != 1) return BeneathStatus::otherNames;
  return BeneathStatus::ok;
}

}  // namespace

FileDescriptor openFolder(const char* path) {
  return FileDescriptor(::open(path, kFolderFlags));
}

BeneathStatus openBeneath(const FileDescriptor& folder, std::string_view name, BeneathAccess access,
                          FileBeneath& out) {
  out = FileBeneath{};
  std::vector<std::string> components;
  if (!plainComponents(name, components)) return BeneathStatus::badName;
  if (!folder) return BeneathStatus::failed;

  FileBeneath opened;
  const std::vector<std::string> leaf{components.back()};
  components.pop_back();
  if (components.empty()) {
    opened.folder = FileDescriptor(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
    if (!opened.folder) return BeneathStatus::failed;
  } else {
    Opened parent = openNoLinks(folder.get(), components, kFolderFlags, 0);
    if (!parent.descriptor) return statusOf(parent.error);
    opened.folder = std::move(parent.descriptor);
  }
  opened.leaf = leaf.front();

  if (access == BeneathAccess::read) {
    Opened file = openNoLinks(opened.folder.get(), leaf, kReadFlags, 0);
    if (!file.descriptor) return statusOf(file.error);
    opened.file = std::move(file.descriptor);
  } else if (const BeneathStatus status = openLeafForWriting(leaf, opened);
             status != BeneathStatus::ok) {
    return status;
  }

  if (const BeneathStatus status = checkOpened(opened.file); status != BeneathStatus::ok) {
    removeIfUnwritten(opened);
    return status;
  }
  // An existing file is left as it is: the control empties it when it writes, so a call that
  // fails before writing loses nothing of it.
  out = std::move(opened);
  return BeneathStatus::ok;
}

bool removeIfUnwritten(const FileBeneath& opened) {
  if (!opened.created || !opened.file || !opened.folder) return false;
  struct stat file {};
  struct stat named {};
  if (::fstat(opened.file.get(), &file) != 0 || file.st_size != 0) return false;
  if (::fstatat(opened.folder.get(), opened.leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_dev != file.st_dev || named.st_ino != file.st_ino) {
    return false;
  }
  return ::unlinkat(opened.folder.get(), opened.leaf.c_str(), 0) == 0;
}

std::string descriptorPath(const FileDescriptor& file) {
  return "/proc/self/fd/" + std::to_string(file.get());
}

void walkEachComponent(bool walk) {
  walkForced = walk;
}

}  // namespace kestrune::platform
