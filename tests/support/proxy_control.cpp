// setProxyFaults, proxyCalls, resetProxyCalls: reach the proxy instance that the layer under
// test loads, through dlopen of the same path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/softhsm.h"
#include "tools/p11proxy/proxy_control.h"

namespace kestrune::testing {
namespace {

// The handle stays open for the life of the process, so the faults and counters survive
// the layer unloading and reloading the proxy.
void* proxyHandle() {
  static void* const handle = [] {
    void* opened = dlopen(proxyModule(), RTLD_NOW | RTLD_LOCAL);
    if (opened == nullptr) ADD_FAILURE() << "cannot load " << proxyModule() << ": " << dlerror();
    return opened;
  }();
  return handle;
}

template <class Function>
Function proxyFunction(const char* name) {
  void* handle = proxyHandle();
  if (handle == nullptr) return nullptr;
  auto function = reinterpret_cast<Function>(dlsym(handle, name));
  if (function == nullptr) ADD_FAILURE() << proxyModule() << " lacks " << name;
  return function;
}

}  // namespace

void setProxyFaults(std::string_view faults) {
  auto setFaults = proxyFunction<kestrune_proxy_set_faults_fn>("kestrune_proxy_set_faults");
  if (setFaults != nullptr && setFaults(std::string(faults).c_str()) != 0) {
    ADD_FAILURE() << "setProxyFaults: malformed fault list \"" << faults << "\"";
  }
}

std::uint64_t proxyCalls(std::string_view function) {
  auto calls = proxyFunction<kestrune_proxy_calls_fn>("kestrune_proxy_calls");
  return calls != nullptr ? calls(std::string(function).c_str()) : 0;
}

void resetProxyCalls() {
  auto reset = proxyFunction<kestrune_proxy_reset_calls_fn>("kestrune_proxy_reset_calls");
  if (reset != nullptr) reset();
}

}  // namespace kestrune::testing
