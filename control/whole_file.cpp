#include "control/whole_file.h"

#include <new>

#include "control/control_codes.h"
#include "platform/platform.h"

namespace kestrune::control {
namespace {

std::int32_t fileCode(platform::FileStatus status, std::int32_t failedTransfer) {
  switch (status) {
    case platform::FileStatus::ok:
      return +ControlCode::kOk;
    case platform::FileStatus::cannotOpen:
      return +ControlCode::kFileOpenFailed;
    case platform::FileStatus::noMemory:
      return +ControlCode::kNoMemory;
    case platform::FileStatus::cannotRead:
    case platform::FileStatus::cannotWrite:
      break;
  }
  return failedTransfer;
}

}  // namespace

std::int32_t readWholeFile(const char* path, std::vector<std::uint8_t>& contents) {
  try {
    return fileCode(platform::readFile(path, contents), +ControlCode::kReadFailed);
  } catch (const std::bad_alloc&) {
    return +ControlCode::kNoMemory;
  }
}

std::int32_t writeWholeFile(const char* path, std::span<const std::uint8_t> bytes) {
  try {
    return fileCode(platform::writeFile(path, bytes), +ControlCode::kWriteFailed);
  } catch (const std::bad_alloc&) {
    return +ControlCode::kNoMemory;
  }
}

}  // namespace kestrune::control
