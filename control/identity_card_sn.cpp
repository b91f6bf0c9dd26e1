// getCardSN and setCardSN: the card serial number that every token type keeps in "EOICARDSN".
#include "control/control_internal.h"
#include "control/identity_objects.h"
#include "token/labels.h"

namespace kestrune {
namespace {

// Card serial numbers are read through a 256-byte buffer: at most 255 bytes of text.
constexpr std::size_t kCardSerialMaxLength = 255;

}  // namespace

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCardSN() {
  return control::textMethod(*this, [this]() -> std::optional<std::u16string> {
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    token::p11_SetPrivateObjects(0);
    token::Bytes value;
    if (token::p11_ReadDataValue(session(), token::kCardSerialLabel, value) !=
        +token::TokenCode::kTokenOk) {
      lastErrorCode = +ControlCode::kReadFailed;
      return std::nullopt;
    }
    // A longer value is no card serial number that this system wrote: refused, not cut.
    const std::string serial = control::textOf(value);
    if (serial.size() > kCardSerialMaxLength) {
      lastErrorCode = +ControlCode::kReadFailed;
      return std::nullopt;
    }
    lastErrorCode = +ControlCode::kOk;
    return control::toBstr(*this, serial);
  });
}

// setCardSN answers 0 or 1 only; the reason for a failure is left in lastErrorCode.
std::int32_t TVFEDIMiniKeyCrypt::setCardSN(std::u16string_view cardsn) {
  std::int32_t rtn = +ControlCode::kNotCompleted;
  control::inFrame(*this, [&] {
    lastErrorCode = +ControlCode::kNotCompleted;
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk) {
      lastErrorCode = code;
      return;
    }
    const auto serial = control::toAnsi(*this, cardsn);
    if (!serial) {
      lastErrorCode = +ControlCode::kBadText;
      return;
    }
    token::p11_SetPrivateObjects(0);
    if (const auto code = control::deleteIfPresent(session(), token::kCardSerialLabel);
        code != +ControlCode::kOk) {
      lastErrorCode = code;
      return;
    }
    lastErrorCode = control::writeText(session(), token::kCardSerialLabel, *serial);
    if (lastErrorCode == +ControlCode::kOk) rtn = +ControlCode::kOk;
  });
  return rtn;
}

}  // namespace kestrune
