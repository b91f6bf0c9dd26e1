// Base64 with the control's line layout. Both loops handle whole groups of 3 bytes / 4
// characters in straight-line code; the decoder leaves its fast path only for the characters
// that need a decision (line breaks, blanks, '=', the end, invalid input).
#include "token/base64.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>

namespace kestrune::token {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kGroupsPerLine = 16;  // 64 characters
constexpr std::int16_t kNotInAlphabet = -1;

// Alphabet position of each byte value, or -1. Built at compile time: nothing to initialise
// at run time, so concurrent first calls are safe.
constexpr std::array<std::int16_t, 256> makeDecodeTable() {
  std::array<std::int16_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (std::int16_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<std::int16_t, 256> kDecodeTable = makeDecodeTable();

// The two characters for each 12-bit value: one lookup per half group.
constexpr std::array<char, 2 * 4096> makePairTable() {
  std::array<char, 2 * 4096> table{};
  for (std::size_t v = 0; v < 4096; ++v) {
    table[2 * v] = kAlphabet[v >> 6];
    table[2 * v + 1] = kAlphabet[v & 0x3F];
  }
  return table;
}
constexpr std::array<char, 2 * 4096> kPairTable = makePairTable();

inline void encodeGroup(const std::uint8_t* in, char* out) {
  const std::uint32_t v = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
  std::memcpy(out, &kPairTable[2 * (v >> 12)], 2);
  std::memcpy(out + 2, &kPairTable[2 * (v & 0xFFF)], 2);
}

}  // namespace

bool text_Base64Encode(std::span<const std::uint8_t> bytes, std::string& text) {
  const std::size_t fullGroups = bytes.size() / 3;
  const std::size_t rest = bytes.size() % 3;
  // The text is under 5 characters per group; refuse sizes whose length would not fit.
  if (fullGroups >= text.max_size() / 5) {
    text.clear();
    return false;
  }
  const std::size_t length = fullGroups * 4 + fullGroups / kGroupsPerLine + (rest ? 4 : 0) + 1;
  try {
    // Every character is written below: resizing without clearing first avoids filling a
    // reused buffer twice.
    text.resize(length);
  } catch (const std::bad_alloc&) {
    text.clear();
    return false;
  }

  const std::uint8_t* in = bytes.data();
  char* out = text.data();
  for (std::size_t groups = fullGroups; groups > 0;) {
    const std::size_t line = std::min(groups, kGroupsPerLine);
    for (std::size_t i = 0; i < line; ++i, in += 3, out += 4) encodeGroup(in, out);
    groups -= line;
    if (line == kGroupsPerLine) *out++ = '\n';
  }
  if (rest != 0) {
    const std::uint8_t last[3] = {in[0], rest == 2 ? in[1] : std::uint8_t{0}, 0};
    encodeGroup(last, out);
    out[3] = '=';
    if (rest == 1) out[2] = '=';
    out += 4;
  }
  *out = '\n';
  return true;
}

bool text_Base64Decode(std::string_view text, std::vector<std::uint8_t>& bytes) {
  try {
    // At most 3 bytes per 4 characters, plus the 1 or 2 of a final partial group.
    bytes.resize(text.size() / 4 * 3 + 2);
  } catch (const std::bad_alloc&) {
    bytes.clear();
    return false;
  }

  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = in + text.size();
  std::uint8_t* out = bytes.data();
  std::uint32_t bits = 0;  // the characters of the current group so far, 6 bits each
  int count = 0;           // characters in the current group
  bool padded = false;

  while (in != end) {
    if (count == 0) {
      while (end - in >= 4) {
        const int a = kDecodeTable[in[0]];
        const int b = kDecodeTable[in[1]];
        const int c = kDecodeTable[in[2]];
        const int d = kDecodeTable[in[3]];
        if ((a | b | c | d) < 0) break;
        const std::uint32_t v = std::uint32_t(a) << 18 | std::uint32_t(b) << 12 |
                                std::uint32_t(c) << 6 | std::uint32_t(d);
        out[0] = std::uint8_t(v >> 16);
        out[1] = std::uint8_t(v >> 8);
        out[2] = std::uint8_t(v);
        out += 3;
        in += 4;
      }
      if (in == end) break;
    }

    const unsigned char ch = *in++;
    int value = kDecodeTable[ch];
    if (value < 0) {
      if (ch == '\n' || ch == '\r') continue;
      if (ch == 0) break;
      if (ch == '=') {
        padded = true;
        break;
      }
      if (ch != ' ') {
        bytes.clear();
        return false;
      }
      value = 62;  // form decoding turned '+' into a blank
    }
    bits = bits << 6 | std::uint32_t(value);
    if (++count == 4) {
      out[0] = std::uint8_t(bits >> 16);
      out[1] = std::uint8_t(bits >> 8);
      out[2] = std::uint8_t(bits);
      out += 3;
      bits = 0;
      count = 0;
    }
  }

  if (padded && count < 2) {
    bytes.clear();
    return false;
  }
  // A partial group keeps only its whole bytes; a lone character carries none.
  if (count == 2) {
    *out++ = std::uint8_t(bits >> 4);
  } else if (count == 3) {
    out[0] = std::uint8_t(bits >> 10);
    out[1] = std::uint8_t(bits >> 2);
    out += 2;
  }
  bytes.resize(static_cast<std::size_t>(out - bytes.data()));
  return true;
}

}  // namespace kestrune::token
