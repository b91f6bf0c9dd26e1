#include "com/dispatch.h"

#include <new>

#include "com/method_table.h"

namespace kestrune::com {
namespace {

bool matches(const Variant& value, Kind kind) {
  switch (kind) {
    case Kind::text:
      return value.isText();
    case Kind::i4:
      return value.isI4();
    case Kind::none:
      break;
  }
  return false;
}

}  // namespace

HResult invoke(TVFEDIMiniKeyCrypt& control, std::int32_t dispid, std::span<const Variant> args,
               Variant& result, std::size_t* argumentError) {
  result = Variant();
  const Method* method = findMethodByDispid(dispid);
  if (method == nullptr) return kMemberNotFound;
  const auto parameters = method->params();
  if (args.size() != parameters.size()) return kBadParamCount;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!matches(args[i], parameters[i].kind)) {
      if (argumentError != nullptr) *argumentError = i;
      return kTypeMismatch;
    }
  }
  try {
    method->binding.thunk(control, args, result);
  } catch (const std::bad_alloc&) {
    result = Variant();
    return kOutOfMemory;
  }
  return kSuccess;
}

}  // namespace kestrune::com
