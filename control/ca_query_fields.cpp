#include "control/ca_query_fields.h"

#include <array>
#include <ctime>
#include <limits>

#include "control/cert_internal.h"
#include "control/control_codes.h"
#include "control/number_text.h"

namespace kestrune::control {
namespace {

// A serial number is read into 256 bytes: radixToBytes needs room for one more than it
// writes, so the largest number is 255 bytes long.
constexpr std::size_t kSerialBuffer = 256;
constexpr std::int32_t kDecimal = 10;

}  // namespace

std::int32_t setSerialFromText(ASN1_INTEGER** field, std::string_view text) {
  if (*field == nullptr) {
    *field = ASN1_INTEGER_new();
    if (*field == nullptr) return +ControlCode::kNoMemory;
  }
  std::array<std::uint8_t, kSerialBuffer> bytes{};
  const std::int32_t length = radixToBytes(text, kDecimal, bytes);
  if (length < 0) return +ControlCode::kBadText;
  // The magnitude bytes become the INTEGER's content; its type keeps it positive.
  return ASN1_STRING_set(*field, bytes.data(), length) == 1 ? +ControlCode::kOk
                                                            : +ControlCode::kNoMemory;
}

std::int32_t setTimeFromDate(ASN1_TIME** field, std::string_view date) {
  if (*field == nullptr) {
    *field = ASN1_UTCTIME_new();
    if (*field == nullptr) return +ControlCode::kNoMemory;
  }
  const std::int64_t time = parseDateText(date);
  if (time == -1) return +ControlCode::kMalformedArgument;
  return ASN1_TIME_set(*field, static_cast<std::time_t>(time)) != nullptr
             ? +ControlCode::kOk
             : +ControlCode::kMalformedArgument;
}

bool setText(ASN1_STRING* field, std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  return ASN1_STRING_set(field, text.data(), static_cast<int>(text.size())) == 1;
}

}  // namespace kestrune::control
