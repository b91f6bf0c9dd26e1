// getSID1, getSID2, getCSN: a token's identifiers as texts.
#include "control/control_internal.h"
#include "control/identity_internal.h"

namespace kestrune {
namespace {

constexpr int kSid1 = 1;
constexpr int kSid2 = 2;

}  // namespace

// Once read, an identifier is served from its cache, even when the token has gone; makeCard
// and setSID clear the caches.
std::optional<std::u16string> TVFEDIMiniKeyCrypt::getSID1() {
  return control::inFrame(*this, [this]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = +ControlCode::kOk;
    if (const auto code = control::readSid(*this, kSid1, type); code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    return control::toBstr(*this, *sid1Cache);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getSID2() {
  return control::inFrame(*this, [this]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = +ControlCode::kOk;
    if (const auto code = control::readSid(*this, kSid2, type); code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    return control::toBstr(*this, *sid2Cache);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCSN() {
  return control::inFrame(*this, [this]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = +ControlCode::kNotCompleted;
    std::string csn;
    if (const auto code = control::readCsn(*this, type, csn); code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    lastErrorCode = +ControlCode::kOk;
    return control::toBstr(*this, csn);
  });
}

}  // namespace kestrune
