// setPassword: changing the user PIN of the logged-in token.
#include "control/control_internal.h"
#include "control/secret_text.h"

namespace kestrune {

// The PIN is changed on the session that checkPassword opened; the session and its login
// stay as they are, so the new PIN counts from the next checkPassword on.
std::int32_t TVFEDIMiniKeyCrypt::setPassword(std::u16string_view oldpass,
                                             std::u16string_view newpass) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    control::SecretText oldPin;
    control::SecretText newPin;
    if (control::secretText(oldpass, oldPin) != +ControlCode::kOk ||
        control::secretText(newpass, newPin) != +ControlCode::kOk) {
      return +ControlCode::kBadText;
    }
    return token::p11_ChangePin(session(), oldPin.c_str(), newPin.c_str()) ==
                   +token::TokenCode::kTokenOk
               ? +ControlCode::kOk
               : +ControlCode::kTokenFailure;
  });
}

}  // namespace kestrune
