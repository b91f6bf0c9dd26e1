// The control's parsers of texts a web page passes in, on arbitrary bytes: hexadecimal and
// radix number texts, date texts, and the rendering of a certificate's validity times. The
// first byte picks the parser; for the radix it is followed by the radix (any byte), for the
// validity time by the string type and mode; the rest is the text.
// Output buffers are exactly as large as the parsers are allowed to use. The number texts
// round-trip through bytesToRadix; the dates are checked in a fixed zone without daylight
// saving (UTC+8) against their own fields.
#include <openssl/asn1.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/ptr.h"
#include "control/cert_internal.h"  // parseDateText, toLocalTimeWithZone, formatCertTime
#include "control/number_text.h"
#include "fuzz/fuzz_require.h"
#include "platform/platform.h"

namespace {

constexpr const char* kTarget = "control_page_text_fuzzer";
constexpr std::int64_t kZoneSeconds = 8 * 3600;
constexpr std::size_t kMaxNumberText = 4095;
constexpr std::size_t kMaxWrittenNumber = 1024;

using kestrune::fuzz::require;
namespace control = kestrune::control;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool allDigits(std::string_view text) {
  for (const char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

int field(std::string_view text, std::size_t at, std::size_t length) {
  int value = 0;
  for (const char c : text.substr(at, length)) value = value * 10 + (c - '0');
  return value;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// withoutLeadingZeros keeps at least one digit.
std::string_view withoutLeadingZeros(std::string_view digits) {
  const std::size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? digits.substr(digits.size() - 1) : digits.substr(first);
}

// radixText writes bytes with bytesToRadix into a buffer of exactly the room it may use.
std::string radixText(std::span<const std::uint8_t> bytes, int radix) {
  std::vector<char> out(std::max<std::size_t>(4097, 2 * bytes.size() + 1));
  const std::int32_t written = control::bytesToRadix(bytes, out, radix);
  require(kTarget, written > 0, "parsed bytes cannot be written back");
  require(kTarget, out[static_cast<std::size_t>(written)] == '\0', "no terminator");
  return std::string(out.data(), static_cast<std::size_t>(written));
}

void checkHex(std::string_view text) {
  const std::size_t count = (text.size() + 1) / 2;
  bool valid = true;
  for (const char c : text) valid = valid && hexValue(c) >= 0;

  std::vector<std::uint8_t> out(count);
  const std::int32_t result = control::hexToBytes(text, out);
  if (!valid) {
    require(kTarget, result == -2, "a text with a non-hex character was read");
    return;
  }
  require(kTarget, result == static_cast<std::int32_t>(count), "wrong byte count");
  if (count > 0) {
    std::vector<std::uint8_t> small(count - 1);
    require(kTarget, control::hexToBytes(text, small) == -1, "a too small buffer was accepted");
    // Upper-case digits, with a zero before the lone first digit of an odd length.
    std::string expected = text.size() % 2 == 1 ? "0" : "";
    for (const char c : text) expected += control::kRadixDigits[hexValue(c)];
    require(kTarget, radixText(out, 16) == expected, "hex does not round-trip");
  }
}

// significantBits is the bit length of the big-endian number bytes.
std::size_t significantBits(std::span<const std::uint8_t> bytes) {
  std::size_t first = 0;
  while (first < bytes.size() && bytes[first] == 0) ++first;
  if (first == bytes.size()) return 0;
  return (bytes.size() - first - 1) * 8 + static_cast<std::size_t>(std::bit_width(bytes[first]));
}

// checkRadixWriter reads the text's bytes as a number, writes it in the radix and reads it
// back: the bytes without their leading zero bytes (zero is one byte 00). The writer refuses a
// number of more than 4096 digits, one of at least 4096 x log2(radix) bits. Its time grows
// with the square of the length, so numbers stop at 1024 bytes, past the limit of radix 2 to 4.
void checkRadixWriter(int radix, std::string_view text) {
  if (radix < 2 || radix > 36 || text.size() > kMaxWrittenNumber) return;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  std::vector<char> digits(std::max<std::size_t>(4097, 2 * bytes.size() + 1));
  const std::int32_t written = control::bytesToRadix(bytes, digits, radix);
  if (written < 0) {
    require(kTarget,
            radix != 16 && static_cast<double>(significantBits(bytes)) >
                               4096 * std::log2(static_cast<double>(radix)) - 1e-6,
            "a number that fits was not written");
    return;
  }
  const std::string_view number(digits.data(), static_cast<std::size_t>(written));
  if (number.empty()) {
    require(kTarget, radix == 16 && bytes.empty(), "no digits for a number");
    return;
  }
  std::vector<std::uint8_t> back(kMaxNumberText + 1);
  const std::int32_t count = control::radixToBytes(number, radix, back);
  if (number.size() > kMaxNumberText) {
    require(kTarget, count == -1, "a too long number text was read");
    return;
  }
  std::size_t first = 0;
  while (first + 1 < bytes.size() && bytes[first] == 0) ++first;
  const std::vector<std::uint8_t> expected =
      bytes.empty() ? std::vector<std::uint8_t>{0}
                    : std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                                                bytes.end());
  require(kTarget,
          count == static_cast<std::int32_t>(expected.size()) &&
              std::equal(expected.begin(), expected.end(), back.begin()),
          "written digits read back as another number");
}

void checkRadix(int radix, std::string_view text) {
  checkRadixWriter(radix, text);
  bool valid = radix >= 2 && radix <= 36 && !text.empty() && text.size() <= kMaxNumberText;
  for (const char c : text) {
    const std::size_t digit = control::kRadixDigits.find(c);
    valid = valid && digit != std::string_view::npos && static_cast<int>(digit) < radix;
  }
  // Room for the longest number a text may hold, plus the one byte more asked for.
  std::vector<std::uint8_t> out(kMaxNumberText + 1);
  const std::int32_t count = control::radixToBytes(text, radix, out);
  if (!valid) {
    require(kTarget, count == -1, "an invalid number text was read");
    return;
  }
  require(kTarget, count >= 1, "a valid number text was refused");
  const auto bytes = std::span<const std::uint8_t>(out).first(static_cast<std::size_t>(count));
  require(kTarget, count == 1 || bytes[0] != 0, "a leading zero byte");
  require(kTarget,
          withoutLeadingZeros(radixText(bytes, radix)) == withoutLeadingZeros(std::string(text)),
          "the number does not round-trip");

  // The buffer must hold more than the bytes (checked on shorter texts: each reading takes
  // time with the square of the length).
  if (text.size() > kMaxWrittenNumber) return;
  std::vector<std::uint8_t> exact(static_cast<std::size_t>(count) + 1);
  require(kTarget, control::radixToBytes(text, radix, exact) == count, "exact room refused");
  std::vector<std::uint8_t> tight(static_cast<std::size_t>(count));
  require(kTarget, control::radixToBytes(text, radix, tight) == -1, "no room for one more");
}

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A date text's fields, when they are all digits and name a real time.
struct Fields {
  int year, month, day, hour, minute, second;
};

bool validFields(std::string_view text, Fields& f) {
  if ((text.size() != 8 && text.size() != 14) || !allDigits(text)) return false;
  f = {field(text, 0, 4), field(text, 4, 2), field(text, 6, 2), 23, 59, 59};
  if (text.size() == 14) {
    f.hour = field(text, 8, 2);
    f.minute = field(text, 10, 2);
    f.second = field(text, 12, 2);
  }
  return f.year >= 1 && f.month >= 1 && f.month <= 12 && f.day >= 1 &&
         f.day <= daysInMonth(f.year, f.month) && f.hour < 24 && f.minute < 60 && f.second < 60;
}

void checkParseDate(std::string_view text) {
  const std::int64_t time = control::parseDateText(text);
  if (text.size() < 8) require(kTarget, time == -1, "a short date was read");
  Fields f{};
  // -1 is also the second before the epoch's local midnight; such a date proves nothing.
  if (!validFields(text, f) || time == -1) return;
  kestrune::platform::CivilTime local;
  require(kTarget, kestrune::platform::localTime(time, local), "a parsed time has no local time");
  require(kTarget,
          local.year == f.year && local.month == f.month && local.day == f.day &&
              local.hour == f.hour && local.minute == f.minute && local.second == f.second,
          "a valid date reads as another time");
}

void checkLocalTime(std::string_view text) {
  std::string out;
  const std::int32_t result = control::toLocalTimeWithZone(text, out);
  require(kTarget, (result == 1) == (text.size() < 8), "short text not told apart");
  if (result != 0) return;
  require(kTarget, out.size() >= 19 && out.ends_with("+0800"), "no zone offset");
  const std::string_view local = std::string_view(out).substr(0, 14);
  if (out.size() != 19 || !allDigits(local)) return;  // a year beyond four digits

  // The same moment read back as a local time; the text's own fields read as local time lie
  // one zone offset later. Without a time of day the UTC text starts at midnight, the date
  // text at 23:59:59.
  const std::int64_t back = control::parseDateText(local);
  const bool withTime = text.size() >= 14;
  const std::int64_t asLocal = control::parseDateText(text.substr(0, withTime ? 14 : 8));
  if (back == -1 || asLocal == -1) return;
  const std::int64_t dayEnd = withTime ? 0 : 23 * 3600 + 59 * 60 + 59;
  require(kTarget, back == asLocal - dayEnd + kZoneSeconds, "the local time is another moment");
}

void checkCertTime(std::uint8_t selector, std::string_view text) {
  static constexpr int kTypes[] = {V_ASN1_UTCTIME, V_ASN1_GENERALIZEDTIME, V_ASN1_UTCTIME,
                                   V_ASN1_GENERALIZEDTIME, V_ASN1_PRINTABLESTRING};
  const int type = kTypes[selector % 5];
  const kestrune::Ptr<ASN1_STRING> time(ASN1_STRING_type_new(type));
  require(kTarget, time != nullptr, "no time");
  require(kTarget, ASN1_STRING_set(time.get(), text.data(), static_cast<int>(text.size())) == 1,
          "no text");

  std::string texts[4];
  int results[4];
  for (int mode = 0; mode < 4; ++mode) {
    texts[mode] = "left over";
    results[mode] = control::formatCertTime(time.get(), texts[mode], mode);
  }
  require(kTarget, results[3] == 4 && texts[3].empty(), "an unknown mode was rendered");
  std::string below = "left over";
  require(kTarget, control::formatCertTime(time.get(), below, -1) == 4 && below.empty(),
          "a negative mode was rendered");
  const bool utc = type == V_ASN1_UTCTIME;
  const std::size_t minimum = utc ? 10 : 12;
  if (type == V_ASN1_PRINTABLESTRING) {
    for (int mode = 0; mode < 3; ++mode) {
      require(kTarget, results[mode] == 0 && texts[mode].empty(), "a non-time was rendered");
    }
    return;
  }
  if (text.size() < minimum) {
    for (int mode = 0; mode < 3; ++mode) {
      require(kTarget, results[mode] == 4 && texts[mode].empty(), "a short time was rendered");
    }
    return;
  }
  for (int mode = 0; mode < 3; ++mode) require(kTarget, results[mode] == 0, "a time refused");
  require(kTarget, texts[1].starts_with(texts[0]), "the date is not the start of the time");
  require(kTarget, texts[2] == texts[1] + (text.ends_with('Z') ? "Z" : ""), "wrong zone mark");
  require(kTarget, control::neverExpires(time.get()) == (utc && text.starts_with("999999")),
          "never-expires misread");

  if (!allDigits(text.substr(0, minimum))) return;
  std::string expected;
  if (utc) expected = field(text, 0, 2) < 50 ? "20" : "19";
  expected += text.substr(0, minimum);
  const bool seconds = text.size() >= minimum + 2 && allDigits(text.substr(minimum, 2));
  expected += seconds ? std::string(text.substr(minimum, 2)) : "00";
  require(kTarget, texts[1] == expected, "the digits of a time were not kept");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A fixed offset without daylight saving, so that every local time exists once.
  setenv("TZ", "CST-8", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto text = [&](std::size_t skip) {
    return std::string_view(reinterpret_cast<const char*>(data + skip), size - skip);
  };
  switch (data[0] % 5) {
    case 0:
      checkHex(text(1));
      break;
    case 1:
      checkRadix(data[1] % 40, text(2));
      break;
    case 2:
      checkParseDate(text(1));
      break;
    case 3:
      checkLocalTime(text(1));
      break;
    default:
      checkCertTime(data[1], text(2));
      break;
  }
  return 0;
}
