#include <dlfcn.h>

#include "platform/platform.h"

namespace kestrune::platform {

LibraryHandle loadLibrary(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void unloadLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

std::string libraryError() {
  const char* text = dlerror();
  return text != nullptr ? text : "";
}

}  // namespace kestrune::platform
