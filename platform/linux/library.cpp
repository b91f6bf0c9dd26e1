#include <dlfcn.h>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

thread_local std::string lastLoadError;

}  // namespace

LibraryHandle loadLibrary(const char* name) {
  if (name == nullptr || *name == '\0') {
    lastLoadError = "no library named";
    return nullptr;
  }
  LibraryHandle library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  const char* why = library == nullptr ? dlerror() : nullptr;
  lastLoadError = why != nullptr ? why : "";
  return library;
}

std::string lastLibraryError() {
  return lastLoadError;
}

void* findSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void unloadLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace kestrune::platform
