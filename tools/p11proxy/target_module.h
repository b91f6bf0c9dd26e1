// The module the proxy forwards to: KESTRUNE_P11PROXY_TARGET, or SoftHSM2 when unset,
// loaded on the first forwarded call and kept until the proxy itself is unloaded.
#pragma once

#include <mutex>

#include "token/pkcs11.h"

namespace kestrune::p11proxy {

class TargetModule {
 public:
  TargetModule() = default;
  ~TargetModule();
  TargetModule(const TargetModule&) = delete;
  TargetModule& operator=(const TargetModule&) = delete;

  // functions returns the target's function list, loading the target on first use; null
  // when the target can't be loaded or gives no function list (reported on stderr once).
  const CK_FUNCTION_LIST* functions();

 private:
  std::mutex mutex_;
  bool tried_ = false;
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
};

}  // namespace kestrune::p11proxy
