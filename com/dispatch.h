// invoke: IDispatch::Invoke for ITVFEDIMiniKeyCrypt, served from the method table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "com/variant.h"

namespace kestrune {
class TVFEDIMiniKeyCrypt;
}

namespace kestrune::com {

// The HRESULTs that dispatch gives, with the values of their Windows namesakes.
enum HResult : std::int32_t {
  kSuccess = 0,                                              // S_OK
  kOutOfMemory = static_cast<std::int32_t>(0x8007000Eu),     // E_OUTOFMEMORY
  kMemberNotFound = static_cast<std::int32_t>(0x80020003u),  // DISP_E_MEMBERNOTFOUND
  kTypeMismatch = static_cast<std::int32_t>(0x80020005u),    // DISP_E_TYPEMISMATCH
  kBadParamCount = static_cast<std::int32_t>(0x8002000Eu),   // DISP_E_BADPARAMCOUNT
};

// invoke calls the method with that DISPID on the control. args are the in-arguments in the
// method's parameter order (not reversed as in DISPPARAMS), each a text or an I4 exactly as
// the parameter says: no coercion between kinds.
//
// Returns kSuccess with the method's result in result: an I4, a text, a null text, or empty
// for a method without a result and for close, which leaves its result unwritten. Otherwise
// result is empty and the call was not made: kMemberNotFound for an unknown DISPID,
// kBadParamCount, kTypeMismatch (argumentError, when given, receives the index of the first
// argument of the wrong kind), kOutOfMemory when the arguments or the result could not be
// allocated.
HResult invoke(TVFEDIMiniKeyCrypt& control, std::int32_t dispid, std::span<const Variant> args,
               Variant& result, std::size_t* argumentError = nullptr);

}  // namespace kestrune::com
