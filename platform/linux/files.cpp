#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {
struct CloseFile {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;
}  // namespace

FileStatus readFile(const char* path, std::vector<std::uint8_t>& out) {
  File f(std::fopen(path, "rb"));
  if (!f) return FileStatus::cannotOpen;
  // Only a regular file opens for reading, as CreateFileA refuses a directory.
  struct stat info {};
  if (fstat(fileno(f.get()), &info) != 0) return FileStatus::cannotRead;
  if (!S_ISREG(info.st_mode)) return FileStatus::cannotOpen;
  const auto size = info.st_size;
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return FileStatus::noMemory;
  }
  if (!out.empty() && std::fread(out.data(), 1, out.size(), f.get()) != out.size()) {
    return FileStatus::cannotRead;
  }
  return FileStatus::ok;
}

FileStatus writeFile(const char* path, std::span<const std::uint8_t> bytes) {
  File f(std::fopen(path, "wb"));
  if (!f) return FileStatus::cannotOpen;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
    return FileStatus::cannotWrite;
  }
  // A short write can surface only when the buffer is flushed.
  if (std::fclose(f.release()) != 0) return FileStatus::cannotWrite;
  return FileStatus::ok;
}

}  // namespace kestrune::platform
