// getSID1, getSID2, getCSN: a token's identifiers as texts.
#include "control/control_internal.h"

namespace kestrune {
namespace {

constexpr int kSid1 = 1;
constexpr int kSid2 = 2;

}  // namespace

// Once read, an identifier is served from its cache, even when the token has gone; makeCard
// and setSID clear the caches.
std::optional<std::u16string> TVFEDIMiniKeyCrypt::getSID1() {
  return inFrame([this]() -> std::optional<std::u16string> {
    const std::int32_t type = detectKeyType();
    lastErrorCode = kOk;
    if (const auto code = readSid(kSid1, type); code != kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    return toBstr(*sid1Cache);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getSID2() {
  return inFrame([this]() -> std::optional<std::u16string> {
    const std::int32_t type = detectKeyType();
    lastErrorCode = kOk;
    if (const auto code = readSid(kSid2, type); code != kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    return toBstr(*sid2Cache);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCSN() {
  return inFrame([this]() -> std::optional<std::u16string> {
    const std::int32_t type = detectKeyType();
    lastErrorCode = kNotCompleted;
    std::string csn;
    if (const auto code = readCsn(type, csn); code != kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    lastErrorCode = kOk;
    return toBstr(csn);
  });
}

}  // namespace kestrune
