// Opening and closing the token as one step: initialise, session, login, or nothing at all.
#include "token/state.h"

namespace kestrune::token {

std::uint32_t token_SetSlotIndex(std::uint32_t index) {
  detail::requestedSlotIndex = index;
  return +TokenCode::kTokenOk;
}

std::uint32_t token_Open(TokenSession* session, const char* pin) {
  if (const std::uint32_t code = p11_Initialize(detail::requestedSlotIndex)) return code;
  if (const std::uint32_t code = p11_OpenSession(session)) {
    p11_Finalize();
    return code;
  }
  if (pin == nullptr) return +TokenCode::kTokenOk;  // public objects only
  if (const std::uint32_t code = p11_Login(session, pin)) {
    p11_CloseSession(session);
    p11_Finalize();
    return code;
  }
  return +TokenCode::kTokenOk;
}

void token_Close(TokenSession* session) {
  // No C_Logout: closing the session ends the login.
  p11_CloseSession(session);
  p11_Finalize();
}

}  // namespace kestrune::token
