#include "platform/named_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/file_descriptor.h"
#include "platform/linux/bounded_read.h"

namespace kestrune::platform {

NamedFileRead readNamedFile(const std::string& path, std::size_t limit,
                            std::vector<std::uint8_t>& out) {
  out.clear();
  // A look before the open spares a device the open's side effects; the look after it is the
  // one that counts, on what was opened.
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    return S_ISDIR(info.st_mode) ? NamedFileRead::folder : NamedFileRead::notRegular;
  const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return NamedFileRead::missing;
    return errno == EACCES || errno == EPERM ? NamedFileRead::denied : NamedFileRead::failed;
  }
  if (fstat(fd.get(), &info) != 0) return NamedFileRead::failed;
  if (S_ISDIR(info.st_mode)) return NamedFileRead::folder;
  if (!S_ISREG(info.st_mode)) return NamedFileRead::notRegular;
  std::string bytes;
  switch (readBounded(fd.get(), static_cast<std::size_t>(info.st_size), limit, bytes)) {
    case BoundedRead::ok:
      out.assign(bytes.begin(), bytes.end());
      return NamedFileRead::ok;
    case BoundedRead::tooLarge:
      return NamedFileRead::tooLarge;
    case BoundedRead::failed:
      break;
  }
  return NamedFileRead::failed;
}

}  // namespace kestrune::platform
