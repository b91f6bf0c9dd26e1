#include "control/method_frame.h"

#include "control/session_state.h"

namespace kestrune {

// Nested frames (a method calling another on the same instance) leave the taking and the
// publishing to the outermost one, so an inner frame never reloads a state not yet published.
MethodFrame::MethodFrame(TVFEDIMiniKeyCrypt& control) noexcept : control_(control) {
  if (control_.frameDepth++ > 0) return;
  auto& shared = control::sharedSessionState();
  control_.tokenSession = shared.session.get();
  control_.pinVerified = shared.pinVerified;
}

MethodFrame::~MethodFrame() {
  if (--control_.frameDepth > 0) return;
  // The session record itself is owned by the shared state and changes only through
  // connectToken and closeSession, which keep both sides in step; the flag may have been
  // set on the instance alone.
  auto& shared = control::sharedSessionState();
  shared.pinVerified = shared.session ? control_.pinVerified : 0;
}

}  // namespace kestrune
