// The token session state that every control instance in the process shares: the one open
// session record and the PIN-verified flag. Controls read both here through ControlState's
// session() and pinVerified(); tests read them too.
#pragma once

#include <cstdint>
#include <memory>

#include "token/token.h"

namespace kestrune::control {

struct SharedSessionState {
  std::unique_ptr<token::TokenSession> session;  // null while no session is open
  std::int32_t pinVerified = 0;
};

// sharedSessionState returns the one state of the process.
SharedSessionState& sharedSessionState() noexcept;

// For tests and diagnostics.
inline bool sessionOpen() noexcept {
  return sharedSessionState().session != nullptr;
}
inline std::int32_t pinVerifiedFlag() noexcept {
  return sharedSessionState().pinVerified;
}

}  // namespace kestrune::control
