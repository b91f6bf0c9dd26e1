#include "platform/platform.h"

namespace kestrune::platform {

// The Linux build has no version resource; the build writes the same text into the module.
std::string moduleFileVersion() {
  return KESTRUNE_FILE_VERSION;
}

}  // namespace kestrune::platform
