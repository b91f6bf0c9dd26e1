// The method frame: every control method runs inside one. On entry it takes the process-wide
// session pointer and PIN-verified flag into the instance; on every way out it publishes
// them again, and memory exhaustion becomes the memory code instead of an exception.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune {

class MethodFrame {
 public:
  explicit MethodFrame(TVFEDIMiniKeyCrypt& control) noexcept;
  ~MethodFrame();
  MethodFrame(const MethodFrame&) = delete;
  MethodFrame& operator=(const MethodFrame&) = delete;

 private:
  TVFEDIMiniKeyCrypt& control_;
};

template <class Body>
auto TVFEDIMiniKeyCrypt::inFrame(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  MethodFrame frame(*this);
  try {
    return body();
  } catch (const std::bad_alloc&) {
    lastErrorCode = kNoMemory;
  } catch (const std::exception&) {
    // Nothing but memory exhaustion is expected to throw below the control; should anything
    // else do so, the method reports that it did not complete rather than let it escape.
    lastErrorCode = kNotCompleted;
  }
  if constexpr (std::is_same_v<Result, std::int32_t>) {
    return lastErrorCode;
  } else if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
}

template <class Body>
std::int32_t TVFEDIMiniKeyCrypt::codeMethod(Body&& body) noexcept {
  return inFrame([&]() -> std::int32_t {
    lastErrorCode = kNotCompleted;
    lastErrorCode = body();
    return lastErrorCode;
  });
}

}  // namespace kestrune
