// The session operations of the control's methods: connecting to the token, finding its
// type, closing the shared session. Included only by the control's own sources.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace kestrune::control {

// connectToken makes sure the process-wide session is open (logging in with pin when it
// opens it and pin isn't null) and returns 0, 2, or a token failure mapped to 1500-1517.
std::int32_t connectToken(ControlState& state, const char* pin);
// detectKeyType returns the token type 0-3 and sets keyLabel (and certLabel for 3), or -1
// when no known key is found or the token can't be reached (its code in lastErrorCode).
std::int32_t detectKeyType(ControlState& state);
// closeSession closes and frees the process-wide session if one is open and clears the
// PIN-verified flag.
void closeSession(ControlState& state) noexcept;

}  // namespace kestrune::control
