#include "control/session_state.h"

#include "control/control_state.h"

namespace kestrune::control {

// Never destroyed: a control that lives in a static of the host may be destroyed after this
// file's statics, and its destructor still closes the session through this state.
SharedSessionState& sharedSessionState() noexcept {
  static SharedSessionState& state = *new SharedSessionState;
  return state;
}

token::TokenSession* ControlState::session() const noexcept {
  return sharedSessionState().session.get();
}

std::int32_t ControlState::pinVerified() const noexcept {
  return sharedSessionState().pinVerified;
}

// The flag means a login on the open session: without one it stays 0.
void ControlState::setPinVerified(std::int32_t verified) noexcept {
  auto& shared = sharedSessionState();
  shared.pinVerified = shared.session ? verified : 0;
}

}  // namespace kestrune::control
