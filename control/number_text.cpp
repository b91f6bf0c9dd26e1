#include "control/number_text.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace kestrune::control {
namespace {

constexpr std::size_t kMaxBytes = 4095;   // numbers of up to 4095 bytes are converted
constexpr std::size_t kMaxDigits = 4096;  // and written with up to 4096 digits
constexpr std::size_t kMaxTextLength = 4095;

bool radixInRange(std::int32_t radix) {
  return radix >= 2 && radix <= 36;
}

// digitValue returns the value of a digit of kRadixDigits, or -1.
int digitValue(char c) {
  const auto position = kRadixDigits.find(c);
  return position == std::string_view::npos ? -1 : static_cast<int>(position);
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::int32_t writeHex(std::span<const std::uint8_t> bytes, std::span<char> out) {
  if (out.size() <= 2 * bytes.size()) return -1;
  std::size_t at = 0;
  for (const std::uint8_t byte : bytes) {
    out[at++] = kRadixDigits[byte >> 4];
    out[at++] = kRadixDigits[byte & 0x0F];
  }
  out[at] = '\0';
  return static_cast<std::int32_t>(at);
}

}  // namespace

std::int32_t bytesToRadix(std::span<const std::uint8_t> bytes, std::span<char> out,
                          std::int32_t radix) {
  if (radix == 16) return writeHex(bytes, out);
  if (!radixInRange(radix) || bytes.size() > kMaxBytes) return -1;

  // Long division of the big-endian number by the radix; each pass gives the next digit
  // from the least significant end. Leading zero bytes drop out as the number shrinks.
  std::array<std::uint8_t, kMaxBytes> number{};
  std::size_t first = 0;
  const std::size_t length = bytes.size();
  std::copy(bytes.begin(), bytes.end(), number.begin());
  while (first < length && number[first] == 0) ++first;

  std::array<char, kMaxDigits> reversed{};
  std::size_t digits = 0;
  do {
    if (digits == kMaxDigits) return -1;
    unsigned remainder = 0;
    for (std::size_t i = first; i < length; ++i) {
      const unsigned value = (remainder << 8) | number[i];
      number[i] = static_cast<std::uint8_t>(value / static_cast<unsigned>(radix));
      remainder = value % static_cast<unsigned>(radix);
    }
    reversed[digits++] = kRadixDigits[remainder];
    while (first < length && number[first] == 0) ++first;
  } while (first < length);

  if (out.size() <= digits) return -1;
  std::reverse_copy(reversed.begin(), reversed.begin() + static_cast<std::ptrdiff_t>(digits),
                    out.begin());
  out[digits] = '\0';
  return static_cast<std::int32_t>(digits);
}

std::int32_t radixToBytes(std::string_view text, std::int32_t radix, std::span<std::uint8_t> out) {
  if (!radixInRange(radix) || text.empty() || text.size() > kMaxTextLength) return -1;

  // The number grows little-endian in `number`: each digit multiplies it by the radix and
  // adds the digit. 4095 digits of radix 36 need fewer than 2700 bytes.
  std::array<std::uint8_t, kMaxTextLength> number{};
  std::size_t used = 0;
  for (const char c : text) {
    const int digit = digitValue(c);
    if (digit < 0 || digit >= radix) return -1;
    unsigned carry = static_cast<unsigned>(digit);
    for (std::size_t i = 0; i < used; ++i) {
      const unsigned value = number[i] * static_cast<unsigned>(radix) + carry;
      number[i] = static_cast<std::uint8_t>(value & 0xFF);
      carry = value >> 8;
    }
    while (carry != 0) {
      number[used++] = static_cast<std::uint8_t>(carry & 0xFF);
      carry >>= 8;
    }
  }
  const std::size_t count = std::max<std::size_t>(used, 1);  // zero is the one byte 00
  if (out.size() <= count) return -1;
  for (std::size_t i = 0; i < count; ++i) out[i] = number[count - 1 - i];
  return static_cast<std::int32_t>(count);
}

std::int32_t hexToBytes(std::string_view text, std::span<std::uint8_t> out) {
  const std::size_t count = (text.size() + 1) / 2;
  if (out.size() < count) return -1;
  // With an odd length the first digit stands alone as the first byte.
  std::size_t at = 0;
  std::size_t next = 0;
  if (text.size() % 2 == 1) {
    const int low = hexDigitValue(text[0]);
    if (low < 0) return -2;
    out[at++] = static_cast<std::uint8_t>(low);
    next = 1;
  }
  for (; next < text.size(); next += 2) {
    const int high = hexDigitValue(text[next]);
    const int low = hexDigitValue(text[next + 1]);
    if (high < 0 || low < 0) return -2;
    out[at++] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return static_cast<std::int32_t>(at);
}

}  // namespace kestrune::control
