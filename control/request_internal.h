// The builders of the certificate requests, shared by makeRequestCert and the CA operations.
// Included only by the control's own sources (and its tests).
#pragma once

#include <cstdint>
#include <vector>

#include "control/control_state.h"

namespace kestrune::control {

// The builders fill der with a request signed by the token's "FEDICA" key pair and return
// 0, or the failure's code with der empty. buildNewRequest reads the identifiers and the
// public key from the token and MACs the request under pass (null counts as empty);
// buildExtendRequest and buildRevokeRequest name the holder's current certificate, the
// revocation with reason (null gives "Revoke").
std::int32_t buildNewRequest(ControlState& state, const char* pass, std::vector<std::uint8_t>& der);
std::int32_t buildExtendRequest(ControlState& state, std::vector<std::uint8_t>& der);
std::int32_t buildRevokeRequest(ControlState& state, const char* reason,
                                std::vector<std::uint8_t>& der);

}  // namespace kestrune::control
