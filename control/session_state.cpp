#include "control/session_state.h"

namespace kestrune::control {

// Never destroyed: a control that lives in a static of the host may be destroyed after this
// file's statics, and its destructor still closes the session through this state.
SharedSessionState& sharedSessionState() noexcept {
  static SharedSessionState& state = *new SharedSessionState;
  return state;
}

}  // namespace kestrune::control
