#include <cstdlib>

#include "platform/platform.h"

namespace kestrune::platform {

std::string environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool setEnvironmentVariable(const char* name, const char* value) {
  return setenv(name, value, 1) == 0;
}

}  // namespace kestrune::platform
