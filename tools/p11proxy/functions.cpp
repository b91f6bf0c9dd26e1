#include "tools/p11proxy/functions.h"

#include <array>

namespace kestrune::p11proxy {
namespace {

#define KP_OWN(name, params, args) #name,
#define KP_FORWARD KP_OWN
#define KP_OPTIONAL KP_OWN
constexpr std::array<const char*, kFunctionCount> kNames = {
#include "tools/p11proxy/function_list.h"
};
#undef KP_OWN
#undef KP_FORWARD
#undef KP_OPTIONAL

}  // namespace

std::optional<Function> functionByName(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (name == kNames[i]) return static_cast<Function>(i);
  }
  return std::nullopt;
}

}  // namespace kestrune::p11proxy
