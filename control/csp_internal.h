// The CryptoAPI signing session (FEDIMessageSignWithCSP_Init, _Update, _Final): what its
// method files share.
#pragma once

#include <cstdint>
#include <string_view>

#include "control/control_state.h"
#include "edifact/edifact.h"

namespace kestrune::control {

// endCspSession releases the signer's certificate and key and the library's provider context,
// which forgets the PIN handed to it. Safe in any state.
void endCspSession(ControlState& state) noexcept;

// showCspFailure reports a failing TVCAPI call in a message box, its code as the text and the
// call as the caption, when debugging is on (showDebug 1).
void showCspFailure(const ControlState& state, std::int32_t code, std::string_view caption);

// readCspIdentity fills the signer's identity from the session's certificate: its serial
// number in upper-case hexadecimal, the subject's CN and the issuer's O, and keeps CN and O in
// sid1Cache and sid2Cache. 12 when a getter fails, 10001 when the subject has no CN or the
// issuer no O. With readAhead, the identity already read from the certificate is taken.
std::int32_t readCspIdentity(ControlState& state, edifact::SignerIdentity& identity,
                             const edifact::SignerIdentity* readAhead = nullptr);

// nameValue returns the value of the first attribute `key` (as "CN", "O") of a name in the
// text TVCAPI gives, one attribute per line: what follows "key=" at the start of a line (or of
// a multi-valued RDN's next part, after " + ") up to the end of the line. false when there is
// no such attribute.
bool nameValue(std::string_view name, std::string_view key, std::string_view& value);

}  // namespace kestrune::control
