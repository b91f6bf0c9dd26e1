// The `demo` command: a SoftHSM2 token and a fedi-ca authority in a folder of their own, the
// token taken through the certificate life cycle by the control's methods (personalisation, a
// certificate from the authority, a signed EDIFACT message, renewal, queries, revocation), one
// progress line per step.
#pragma once

#include <ostream>
#include <string>

namespace kestrune::host {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

// defaultDemoDir returns $XDG_DATA_HOME/kestrune/demo, or $HOME/.local/share/kestrune/demo
// when XDG_DATA_HOME is unset or not absolute; empty when neither can be had.
std::string defaultDemoDir();

// runDemo returns 0 when every step gave what it should, 1 otherwise (the reason is printed).
int runDemo(const std::string& dir, const std::string& modulePath, std::ostream& out,
            std::ostream& err);

}  // namespace kestrune::host
