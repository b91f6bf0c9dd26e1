// Number texts: byte strings written as numbers in a radix and read back, and hexadecimal
// text read into bytes. Plain functions without state. Every output buffer is given with its
// size and never written past it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrune::control {

// The digits of every radix, in value order; radixToBytes accepts upper-case letters only.
inline constexpr std::string_view kRadixDigits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// bytesToRadix writes bytes as a zero-terminated number text into out and returns the number
// of characters written (terminator not counted), or -1.
// Radix 16: two upper-case digits per byte, leading zero bytes kept; -1 unless out holds more
// than 2 x bytes.size() characters.
// Radix 2 to 36 otherwise: bytes are an unsigned big-endian number, written most significant
// digit first without leading zeros (zero is "0"); bytes.size() must be below 4096 and the
// number may have at most 4096 digits; -1 unless out holds more than the digits. Any other
// radix: -1. out is left untouched on failure.
std::int32_t bytesToRadix(std::span<const std::uint8_t> bytes, std::span<char> out,
                          std::int32_t radix);

// radixToBytes reads text (shorter than 4096 characters, at least one digit) as an unsigned
// number in radix 2 to 36, each character's value being its position in kRadixDigits, and
// writes it into out as big-endian bytes without leading zero bytes (zero is one byte 00).
// It returns the number of bytes, or -1 for an empty or too long text, a radix outside 2 to
// 36, a character that is no digit of the radix, or an out that doesn't hold more than the
// bytes.
std::int32_t radixToBytes(std::string_view text, std::int32_t radix, std::span<std::uint8_t> out);

// hexToBytes reads hexadecimal text (0-9, A-F, a-f), two characters a byte, high digit first;
// with an odd length the first character alone makes the first byte. It returns the number of
// bytes written into out, -1 when out holds fewer than ceil(text.size() / 2) bytes, -2 on a
// character that is no hexadecimal digit.
std::int32_t hexToBytes(std::string_view text, std::span<std::uint8_t> out);

}  // namespace kestrune::control
