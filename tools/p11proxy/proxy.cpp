// A PKCS#11 module that forwards every call to a target module, unless a fault configured
// for that function answers it first. It stands in for what a real card does and SoftHSM2
// doesn't: a full token memory, a locked PIN, a refused delete, a reader without a card.
// Built twice: the lite variant (KESTRUNE_P11PROXY_LITE) lacks the entry points marked
// KP_OPTIONAL in function_list.h, both as exports and in its function list.
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "token/pkcs11.h"
#include "tools/p11proxy/faults.h"
#include "tools/p11proxy/functions.h"
#include "tools/p11proxy/proxy_control.h"
#include "tools/p11proxy/target_module.h"

#define KP_EXPORT extern "C" __attribute__((visibility("default")))

namespace kestrune::p11proxy {
namespace {

static_assert(kFunctionCount == 68, "Cryptoki v2.40 has 68 entry points");
static_assert(sizeof(CK_FUNCTION_LIST) ==
                  offsetof(CK_FUNCTION_LIST, C_Initialize) + kFunctionCount * sizeof(void*),
              "function_list.h must cover every slot of CK_FUNCTION_LIST");

Faults& faults() {
  static Faults instance;
  return instance;
}

TargetModule& target() {
  static TargetModule instance;
  return instance;
}

// The faults come from the environment as the module loads, so a test can configure a
// process it starts without reaching into it.
[[maybe_unused]] const bool kFaultsFromEnvironment = [] {
  const char* text = std::getenv("KESTRUNE_P11PROXY_FAULTS");
  if (text != nullptr && !faults().configure(text)) {
    std::fprintf(stderr, "kestrune_p11proxy: ignoring malformed KESTRUNE_P11PROXY_FAULTS \"%s\"\n",
                 text);
  }
  return true;
}();

template <class Call>
CK_RV forward(Function function, Call call) noexcept {
  if (const auto fault = faults().take(function)) return fault->rv;
  const CK_FUNCTION_LIST* functions = target().functions();
  if (functions == nullptr) return CKR_GENERAL_ERROR;
  return call(*functions);
}

CK_FUNCTION_LIST makeFunctionList();

}  // namespace
}  // namespace kestrune::p11proxy

using kestrune::p11proxy::Function;

#define KP_OWN(name, params, args)
#define KP_FORWARD(name, params, args)                                                       \
  KP_EXPORT CK_RV name params {                                                              \
    return kestrune::p11proxy::forward(Function::name, [&](const CK_FUNCTION_LIST& module) { \
      return module.name != nullptr ? module.name args : CKR_FUNCTION_NOT_SUPPORTED;         \
    });                                                                                      \
  }
#ifdef KESTRUNE_P11PROXY_LITE
#define KP_OPTIONAL(name, params, args)
#else
#define KP_OPTIONAL KP_FORWARD
#endif
#include "tools/p11proxy/function_list.h"
#undef KP_OWN
#undef KP_FORWARD
#undef KP_OPTIONAL

KP_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  static CK_FUNCTION_LIST functions = kestrune::p11proxy::makeFunctionList();
  if (const auto fault = kestrune::p11proxy::faults().take(Function::C_GetFunctionList)) {
    return fault->rv;
  }
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &functions;
  return CKR_OK;
}

KP_EXPORT CK_RV C_GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  if (const auto fault = kestrune::p11proxy::faults().take(Function::C_GetSlotList)) {
    if (!fault->emptySlotList) return fault->rv;
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    *count = 0;
    return CKR_OK;
  }
  const CK_FUNCTION_LIST* target = kestrune::p11proxy::target().functions();
  if (target == nullptr) return CKR_GENERAL_ERROR;
  if (target->C_GetSlotList == nullptr) return CKR_FUNCTION_NOT_SUPPORTED;
  return target->C_GetSlotList(token_present, slots, count);
}

KP_EXPORT int kestrune_proxy_set_faults(const char* text) {
  try {
    return kestrune::p11proxy::faults().configure(text != nullptr ? text : "") ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

KP_EXPORT uint64_t kestrune_proxy_calls(const char* name) {
  auto& faults = kestrune::p11proxy::faults();
  if (name == nullptr || *name == '\0') return faults.allCalls();
  const auto function = kestrune::p11proxy::functionByName(name);
  return function ? faults.calls(*function) : 0;
}

KP_EXPORT void kestrune_proxy_reset_calls(void) {
  kestrune::p11proxy::faults().resetCalls();
}

namespace kestrune::p11proxy {
namespace {

CK_FUNCTION_LIST makeFunctionList() {
  CK_FUNCTION_LIST list{};
  list.version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
#define KP_OWN(name, params, args) list.name = &::name;
#define KP_FORWARD KP_OWN
#ifdef KESTRUNE_P11PROXY_LITE
#define KP_OPTIONAL(name, params, args)
#else
#define KP_OPTIONAL KP_OWN
#endif
#include "tools/p11proxy/function_list.h"
#undef KP_OWN
#undef KP_FORWARD
#undef KP_OPTIONAL
  return list;
}

}  // namespace
}  // namespace kestrune::p11proxy
