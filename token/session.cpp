// The one read/write session: opening, closing, login and PIN change.
#include <cstring>

#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::tokenState;

CK_SLOT_ID chosenSlot() {
  const std::uint32_t position = tokenState.currentSlot > 0 ? tokenState.currentSlot - 1 : 0;
  // currentSlot always indexes the list it was chosen from; guard anyway against a shorter one.
  return tokenState.slotList[position < tokenState.slotList.size() ? position : 0];
}

CK_UTF8CHAR_PTR pinBytes(const char* pin) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
}

}  // namespace

std::uint32_t p11_OpenSession(TokenSession* session) {
  if (session != nullptr) *session = TokenSession{};
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (session == nullptr) return +TokenCode::kOpenSessionFailed;
  const auto& f = detail::entryPoints();
  if (auto code =
          detail::requireEntryPoints(f.C_OpenSession, f.C_GetSessionInfo, f.C_CloseSession)) {
    return code;
  }
  if (tokenState.slotCount == 0 || tokenState.slotList.empty()) {
    tokenState.lastRV = CKR_TOKEN_NOT_PRESENT;
    return +TokenCode::kInitializeFailed;
  }
  if (detail::call(f.C_OpenSession, chosenSlot(), CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr,
                   nullptr, &session->handle) != CKR_OK) {
    session->handle = CK_INVALID_HANDLE;
    return +TokenCode::kOpenSessionFailed;
  }
  if (detail::call(f.C_GetSessionInfo, session->handle, &session->info) != CKR_OK) {
    detail::callUnrecorded(f.C_CloseSession, session->handle);
    *session = TokenSession{};
    return +TokenCode::kOpenSessionFailed;
  }
  return +TokenCode::kTokenOk;
}

std::uint32_t p11_CloseSession(TokenSession* session) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_CloseSession)) return code;
  return detail::call(f.C_CloseSession, detail::sessionHandle(session)) == CKR_OK
             ? +TokenCode::kTokenOk
             : +TokenCode::kCloseSessionFailed;
}

std::uint32_t p11_Login(TokenSession* session, const char* pin) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_Login)) return code;
  if (pin == nullptr) return +TokenCode::kLoginRefused;
  const auto login = [&] {
    return detail::call(f.C_Login, detail::sessionHandle(session), CKU_USER, pinBytes(pin),
                        static_cast<CK_ULONG>(std::strlen(pin)));
  };
  CK_RV rv = login();
  // Another user of the module in this process (a key provider) has the token open: the
  // login is the application's, so it would take any PIN. The PIN is checked anew, and a
  // wrong one leaves the token closed.
  if (rv == CKR_USER_ALREADY_LOGGED_IN && f.C_Logout != nullptr) {
    detail::call(f.C_Logout, detail::sessionHandle(session));
    rv = login();
  }
  if (rv == CKR_OK) {
    tokenState.privateObjects = 1;
    return +TokenCode::kTokenOk;
  }
  return rv == CKR_PIN_LOCKED ? +TokenCode::kPinLocked : +TokenCode::kLoginRefused;
}

std::uint32_t p11_SetPrivateObjects(std::uint32_t flag) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  tokenState.privateObjects = flag;
  return +TokenCode::kTokenOk;
}

std::uint32_t p11_ChangePin(TokenSession* session, const char* oldPin, const char* newPin) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireEntryPoints(f.C_SetPIN)) return code;
  if (oldPin == nullptr || newPin == nullptr) return +TokenCode::kPinChangeRefused;
  return detail::call(f.C_SetPIN, detail::sessionHandle(session), pinBytes(oldPin),
                      static_cast<CK_ULONG>(std::strlen(oldPin)), pinBytes(newPin),
                      static_cast<CK_ULONG>(std::strlen(newPin))) == CKR_OK
             ? +TokenCode::kTokenOk
             : +TokenCode::kPinChangeRefused;
}

CK_RV p11_GetLastRV() {
  return tokenState.lastRV;
}
std::uint32_t p11_GetPrivateObjects() {
  return tokenState.privateObjects;
}

}  // namespace kestrune::token
