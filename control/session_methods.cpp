// The session methods: library, slot, PIN, token type, closing.
#include "control/control_internal.h"
#include "control/secret_text.h"

namespace kestrune {

std::int32_t TVFEDIMiniKeyCrypt::loadLib(std::u16string_view libname) {
  // A name that can't be converted leaves the result at 1 (not completed) while
  // lastErrorCode says why (3); every other outcome is both.
  std::int32_t rtn = +ControlCode::kNotCompleted;
  control::inFrame(*this, [&] {
    lastErrorCode = +ControlCode::kNotCompleted;
    const auto name = control::toAnsi(*this, libname);
    if (!name) {
      lastErrorCode = +ControlCode::kBadText;
      return;
    }
    // A name that the field can't hold is refused before anything changes: cutting it
    // short would name a different library.
    if (name->size() > decltype(libraryName)::kMaxLength) {
      rtn = lastErrorCode = +ControlCode::kTextBufferFailed;
      return;
    }
    if (!libraryName.empty() && libraryName.view() != *name) {
      control::closeSession(*this);
      token::p11_UnloadAll();
    }
    libraryName.assign(*name);
    rtn = lastErrorCode = token::p11_LoadLibrary(name->c_str()) == +token::TokenCode::kTokenOk
                              ? +ControlCode::kOk
                              : +ControlCode::kTokenFailure;
  });
  return rtn;
}

void TVFEDIMiniKeyCrypt::setTokenType(std::int32_t type) {
  tokenType = type;
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getType() {
  return control::inFrame(*this, [this]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    if (type >= control::kLinkway && type <= control::kTaiOne) {
      return std::u16string(control::kLabelledTypes[type].name);
    }
    if (type == control::kZrml) return std::u16string(control::kZrmlName);
    return std::nullopt;
  });
}

std::int32_t TVFEDIMiniKeyCrypt::setCurrentSlot(std::int32_t slotNumber) {
  return control::codeMethod(*this, [&] {
    token::token_SetSlotIndex(static_cast<std::uint32_t>(slotNumber));
    return control::connectToken(*this, nullptr);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::checkPassword(std::u16string_view checkData) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    control::closeSession(*this);
    control::SecretText pin;
    if (control::secretText(checkData, pin, 8192) != +ControlCode::kOk)
      return +ControlCode::kTextBufferFailed;
    const auto code = control::connectToken(*this, pin.c_str());
    if (code == +ControlCode::kOk) setPinVerified(1);
    return code;
  });
}

void TVFEDIMiniKeyCrypt::close() {
  control::inFrame(*this, [this] { control::closeSession(*this); });
}

std::int32_t TVFEDIMiniKeyCrypt::getErrorCode() {
  return lastErrorCode;
}

}  // namespace kestrune
