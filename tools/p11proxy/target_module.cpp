#include "tools/p11proxy/target_module.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace kestrune::p11proxy {

TargetModule::~TargetModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

const CK_FUNCTION_LIST* TargetModule::functions() {
  std::lock_guard lock(mutex_);
  if (tried_) return functions_;
  tried_ = true;

  const char* path = std::getenv("KESTRUNE_P11PROXY_TARGET");
  if (path == nullptr || *path == '\0') path = KESTRUNE_P11PROXY_DEFAULT_TARGET;
  handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    std::fprintf(stderr, "kestrune_p11proxy: cannot load %s: %s\n", path, dlerror());
    return nullptr;
  }
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
  if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK) {
    std::fprintf(stderr, "kestrune_p11proxy: %s gives no function list\n", path);
    functions_ = nullptr;
  }
  return functions_;
}

}  // namespace kestrune::p11proxy
