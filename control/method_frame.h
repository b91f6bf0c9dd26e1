// The method frame: every control method runs its body inside one, so that no exception leaves
// the control and memory exhaustion becomes the memory code. The session and the PIN-verified
// flag need no frame: the state reads them where they live.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <type_traits>

#include "control/control_state.h"

namespace kestrune::control {

// inFrame runs a method body and returns its result. Memory exhaustion sets lastErrorCode to
// 2, any other exception 1; the number result is then lastErrorCode and any other result its
// empty value (the null text).
template <class Body>
auto inFrame(ControlState& state, Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    state.lastErrorCode = +ControlCode::kNoMemory;
  } catch (const std::exception&) {
    // Nothing but memory exhaustion is expected to throw below the control; should anything
    // else do so, the method reports that it did not complete rather than let it escape.
    state.lastErrorCode = +ControlCode::kNotCompleted;
  }
  if constexpr (std::is_same_v<Result, std::int32_t>) {
    return state.lastErrorCode;
  } else if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
}

// codeMethod is the frame of a method whose result is its error code: lastErrorCode is 1 on
// entry and receives the body's code, which is also the result.
template <class Body>
std::int32_t codeMethod(ControlState& state, Body&& body) noexcept {
  return inFrame(state, [&]() -> std::int32_t {
    state.lastErrorCode = +ControlCode::kNotCompleted;
    state.lastErrorCode = body();
    return state.lastErrorCode;
  });
}

// textMethod is the frame of a method whose result is a text: lastErrorCode is 1 on entry,
// and the body sets it as it succeeds or fails; the text is null on failure.
template <class Body>
auto textMethod(ControlState& state, Body&& body) noexcept -> decltype(body()) {
  return inFrame(state, [&] {
    state.lastErrorCode = +ControlCode::kNotCompleted;
    return body();
  });
}

}  // namespace kestrune::control
