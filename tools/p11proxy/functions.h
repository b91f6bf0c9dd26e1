// The proxy's names for the Cryptoki entry points: one enumerator per function, in the
// order of CK_FUNCTION_LIST, and the lookup from C name to enumerator.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "token/pkcs11.h"

namespace kestrune::p11proxy {

#define KP_OWN(name, params, args) name,
#define KP_FORWARD KP_OWN
#define KP_OPTIONAL KP_OWN
enum class Function : std::size_t {
#include "tools/p11proxy/function_list.h"
};
#undef KP_OWN
#undef KP_FORWARD
#undef KP_OPTIONAL

inline constexpr std::size_t kFunctionCount =
    static_cast<std::size_t>(Function::C_WaitForSlotEvent) + 1;

// functionByName returns the entry point called `name`; no value for a name that is not a
// Cryptoki v2.40 function.
std::optional<Function> functionByName(std::string_view name);

}  // namespace kestrune::p11proxy
