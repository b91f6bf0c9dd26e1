#include <dlfcn.h>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

// The loader's text of the last failure on this thread, kept until libraryError takes it
// (dlerror's own is overwritten by any later loader call, even one made by OpenSSL).
thread_local std::string lastFailure;

void noteFailure(const char* fallback) {
  const char* text = dlerror();
  lastFailure = text != nullptr ? text : fallback;
}

}  // namespace

LibraryHandle loadLibrary(const char* name) {
  if (name == nullptr || *name == '\0') {
    lastFailure = "no library named";
    return nullptr;
  }
  LibraryHandle library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) noteFailure("the library could not be loaded");
  return library;
}

void* findSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  dlerror();  // a symbol's value may be null: only dlerror tells a failure
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) noteFailure("the symbol is not exported");
  return symbol;
}

void unloadLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

std::string libraryError() {
  std::string text;
  text.swap(lastFailure);
  return text;
}

}  // namespace kestrune::platform
