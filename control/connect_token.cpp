// Opening and closing the one token session of the process.
#include <cstdio>
#include <memory>
#include <new>

#include "control/session_internal.h"
#include "control/session_state.h"
#include "platform/platform.h"
#include "token/token.h"

namespace kestrune {
namespace {

// connectCode maps a failure of token_Open to the control's code; 0 for a code it doesn't
// name, which the caller reports as the general token failure.
std::int32_t connectCode(std::uint32_t tokenCode) {
  switch (static_cast<token::TokenCode>(tokenCode)) {
    case token::TokenCode::kInitializeFailed:
      return +ControlCode::kTokenInitFailed;
    case token::TokenCode::kNotFound:
      return +ControlCode::kSlotListFailed;
    case token::TokenCode::kOpenSessionFailed:
      return +ControlCode::kSessionFailed;
    case token::TokenCode::kLoginRefused:
      return +ControlCode::kPinRefused;
    case token::TokenCode::kPinLocked:
      return +ControlCode::kPinLocked;
    default:
      return 0;
  }
}

}  // namespace

std::int32_t control::connectToken(ControlState& state, const char* pin) {
  if (state.session() != nullptr) return +ControlCode::kOk;

  std::unique_ptr<token::TokenSession> record(new (std::nothrow) token::TokenSession{});
  if (!record) return +ControlCode::kNoMemory;
  const std::uint32_t tokenCode = token::token_Open(record.get(), pin);
  if (tokenCode == +token::TokenCode::kTokenOk) {
    auto& shared = control::sharedSessionState();
    shared.session = std::move(record);
    return +ControlCode::kOk;
  }

  if (const auto mapped = connectCode(tokenCode); mapped != 0) return mapped;
  if (state.showDebug == 1) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(tokenCode));
    platform::messageBox(text, "connectToken");
  }
  return +ControlCode::kTokenFailure;
}

void control::closeSession(ControlState& /*state*/) noexcept {
  auto& shared = control::sharedSessionState();
  if (shared.session) {
    token::token_Close(shared.session.get());
    shared.session.reset();
  }
  shared.pinVerified = 0;
}

}  // namespace kestrune
