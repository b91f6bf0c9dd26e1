#include "agent/call_files.h"

namespace kestrune::agent {
namespace {

std::string problemOf(platform::BeneathStatus status) {
  using platform::BeneathStatus;
  switch (status) {
    case BeneathStatus::ok:
      break;
    case BeneathStatus::badName:
      return "is not a relative name of plain components";
    case BeneathStatus::missing:
      return "names nothing there (a missing file, or a missing folder on the way)";
    case BeneathStatus::link:
      return "leads through a symbolic link";
    case BeneathStatus::notFolder:
      return "passes through something that is not a folder";
    case BeneathStatus::notRegular:
      return "is not a regular file (a folder, a pipe, a device or a socket)";
    case BeneathStatus::otherNames:
      return "is a file with another name too (a hard link, which may lie outside the folder)";
    case BeneathStatus::denied:
      return "can't be opened: permission denied";
    case BeneathStatus::failed:
      return "can't be opened";
  }
  return {};
}

}  // namespace

bool CallFiles::open(const platform::FileDescriptor& folder, std::string_view name,
                     platform::BeneathAccess access, std::string& path, std::string& problem) {
  files_.reserve(files_.size() + 1);  // before the open: keeping it can't fail after
  platform::FileBeneath opened;
  const platform::BeneathStatus status = platform::openBeneath(folder, name, access, opened);
  if (status != platform::BeneathStatus::ok) {
    problem = problemOf(status);
    return false;
  }
  files_.push_back(std::move(opened));
  path = platform::descriptorPath(files_.back().file);
  return true;
}

void CallFiles::finish() {
  for (const platform::FileBeneath& file : files_) platform::removeIfUnwritten(file);
  files_.clear();
}

}  // namespace kestrune::agent
