// Certificate time texts: validity times rendered as digits, date texts read as local times,
// and UTC texts rewritten as local time with the zone's offset.
#include <charconv>
#include <cstdio>

#include "control/cert_internal.h"
#include "control/control_codes.h"
#include "platform/platform.h"

namespace kestrune::control {
namespace {

// twoDigits reads a two-character field as the certificate coders always have: each
// character's distance from '0', unchecked.
int twoDigits(const unsigned char* field) {
  return (field[0] - '0') * 10 + (field[1] - '0');
}

bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// number reads the leading digits of a field as atoi does; 0 when there are none.
int number(std::string_view text, std::size_t position, std::size_t length) {
  const std::string_view field = text.substr(position, length);
  int value = 0;
  std::from_chars(field.data(), field.data() + field.size(), value);
  return value;
}

std::string civilText(const platform::CivilTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace

std::int32_t formatCertTime(const ASN1_TIME* time, std::string& out, int mode) {
  out.clear();
  if (mode < kDateOnly || mode > kDateTimeZone) return +ControlCode::kMalformedArgument;
  if (time == nullptr) return +ControlCode::kMalformedArgument;
  const unsigned char* text = ASN1_STRING_get0_data(time);
  const int length = ASN1_STRING_length(time);
  platform::CivilTime t;
  switch (ASN1_STRING_type(time)) {
    case V_ASN1_UTCTIME: {
      if (length < 10) return +ControlCode::kMalformedArgument;
      const int shortYear = twoDigits(text);
      t.year = shortYear + 1900 + (shortYear < 50 ? 100 : 0);
      text += 2;
      break;
    }
    case V_ASN1_GENERALIZEDTIME:
      if (length < 12) return +ControlCode::kMalformedArgument;
      t.year = twoDigits(text) * 100 + twoDigits(text + 2);
      text += 4;
      break;
    default:
      return +ControlCode::kOk;
  }
  t.month = twoDigits(text);
  t.day = twoDigits(text + 2);
  t.hour = twoDigits(text + 4);
  t.minute = twoDigits(text + 6);
  // Seconds are optional in both forms.
  const unsigned char* start = ASN1_STRING_get0_data(time);
  const auto secondsAt = static_cast<int>(text + 8 - start);
  if (length >= secondsAt + 2 && isDigit(text[8]) && isDigit(text[9])) {
    t.second = twoDigits(text + 8);
  }
  const bool zulu = start[length - 1] == 'Z';

  if (mode == kDateOnly) {
    char date[32];
    std::snprintf(date, sizeof date, "%04d%02d%02d", t.year, t.month, t.day);
    out = date;
  } else {
    out = civilText(t);
    if (mode == kDateTimeZone && zulu) out += 'Z';
  }
  return +ControlCode::kOk;
}

std::int64_t parseDateText(std::string_view text) {
  if (text.size() < 8) return -1;
  platform::CivilTime local{number(text, 0, 4), number(text, 4, 2), number(text, 6, 2), 23, 59, 59};
  if (local.year == 0 || local.month == 0 || local.day == 0) return -1;
  if (text.size() == 14) {
    local.hour = number(text, 8, 2);
    local.minute = number(text, 10, 2);
    local.second = number(text, 12, 2);
  }
  return platform::makeLocalTime(local);
}

std::int32_t toLocalTimeWithZone(std::string_view text, std::string& out) {
  if (text.size() < 8) return 1;
  platform::CivilTime utc{number(text, 0, 4), number(text, 4, 2), number(text, 6, 2)};
  if (utc.year == 0 || utc.month == 0 || utc.day == 0) return -1;
  if (text.size() >= 14) {
    utc.hour = number(text, 8, 2);
    utc.minute = number(text, 10, 2);
    utc.second = number(text, 12, 2);
  }
  platform::CivilTime local;
  if (!platform::utcToLocal(utc, local)) return -1;

  // The offset is the zone's standard one, as the zone information reports it.
  char sign = '+';
  int offset = 0;
  if (int bias = 0; platform::standardBiasMinutes(bias)) {
    sign = bias < 1 ? '+' : '-';
    offset = bias < 1 ? -bias : bias;
  }
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d%02d", sign, offset / 60, offset % 60);
  out = civilText(local) + zone;
  return 0;
}

bool neverExpires(const ASN1_TIME* time) {
  if (time == nullptr || ASN1_STRING_type(time) != V_ASN1_UTCTIME) return false;
  const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                              static_cast<std::size_t>(ASN1_STRING_length(time)));
  return text.starts_with("999999");
}

}  // namespace kestrune::control
