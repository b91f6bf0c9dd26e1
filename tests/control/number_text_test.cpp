// The number-text helpers: bytes as numbers in a radix and back, hexadecimal text to bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control/number_text.h"

namespace kestrune::control {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BytesToRadix, WritesNumbersInEachRadix) {
  struct Case {
    Bytes bytes;
    std::int32_t radix;
    std::string want;
  };
  const Case cases[] = {
      {{0x0A}, 16, "0A"},
      {{0x0A}, 10, "10"},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}, 10, "256"},
      {{0x00, 0x0F}, 16, "000F"},  // radix 16 keeps leading zero bytes
      {{0x00, 0x0F}, 10, "15"},    // the others drop leading zeros
      {{0x00, 0x00}, 10, "0"},
      {{}, 10, "0"},
      {{}, 16, ""},
      {{0xFF}, 2, "11111111"},
      {{0x01, 0x00}, 8, "400"},
      {{0x01, 0x00}, 36, "74"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 10, "18446744073709551615"},
      {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 10, "18446744073709551616"},
      {{0xDE, 0xAD, 0xBE, 0xEF}, 16, "DEADBEEF"},
      {{0xDE, 0xAD, 0xBE, 0xEF}, 36, "1PS9WXB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want + " radix " + std::to_string(c.radix));
    std::array<char, 64> out{};
    out.fill('#');
    ASSERT_EQ(static_cast<std::int32_t>(c.want.size()), bytesToRadix(c.bytes, out, c.radix));
    EXPECT_EQ(c.want, std::string(out.data()));
  }
}

TEST(BytesToRadix, RefusesWhatItCannotWrite) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t outSize;
    std::int32_t radix;
  };
  const Case cases[] = {
      {"radix 1", {0x01}, 16, 1},
      {"radix 37", {0x01}, 16, 37},
      {"radix 0", {0x01}, 16, 0},
      {"hex needs room for the terminator", {0x0A, 0x0B}, 4, 16},
      {"decimal needs room for the terminator", {0x01, 0x00}, 3, 10},
      {"4096 bytes", Bytes(4096, 0x01), 40000, 10},
      {"more than 4096 digits", Bytes(520, 0xFF), 40000, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> out(c.outSize, '#');
    EXPECT_EQ(-1, bytesToRadix(c.bytes, out, c.radix));
    EXPECT_EQ(std::vector<char>(c.outSize, '#'), out);  // nothing written
  }
  // Exactly enough room: the digits and the terminator.
  std::array<char, 4> exact{};
  EXPECT_EQ(3, bytesToRadix(Bytes{0x01, 0x00}, exact, 10));
  std::array<char, 5> exactHex{};
  EXPECT_EQ(4, bytesToRadix(Bytes{0xAB, 0xCD}, exactHex, 16));
  // 4095 bytes in radix 16 have no digit limit; 512 bytes of ones are 4096 binary digits.
  std::vector<char> large(10000);
  EXPECT_EQ(8190, bytesToRadix(Bytes(4095, 0x11), large, 16));
  EXPECT_EQ(4096, bytesToRadix(Bytes(512, 0xFF), large, 2));
}

TEST(RadixToBytes, ReadsNumbersInEachRadix) {
  struct Case {
    std::string text;
    std::int32_t radix;
    Bytes want;
  };
  const Case cases[] = {
      {"256", 10, {0x01, 0x00}},
      {"0A", 16, {0x0A}},
      {"000A", 16, {0x0A}},  // no leading zero bytes
      {"0", 10, {0x00}},     // zero is one byte
      {"000", 10, {0x00}},
      {"11111111", 2, {0xFF}},
      {"1PS9WXB", 36, {0xDE, 0xAD, 0xBE, 0xEF}},
      {"18446744073709551616", 10, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::array<std::uint8_t, 16> out{};
    ASSERT_EQ(static_cast<std::int32_t>(c.want.size()), radixToBytes(c.text, c.radix, out));
    EXPECT_EQ(c.want, Bytes(out.begin(), out.begin() + c.want.size()));
  }
}

TEST(RadixToBytes, RefusesBadDigitsRadixesAndSizes) {
  struct Case {
    const char* name;
    std::string text;
    std::int32_t radix;
    std::size_t outSize;
  };
  const Case cases[] = {
      {"lower-case letter", "0a", 16, 8},
      {"digit not below the radix", "102", 2, 8},
      {"letter not below the radix", "G", 16, 8},
      {"character outside the alphabet", "12-3", 10, 8},
      {"radix 1", "0", 1, 8},
      {"radix 37", "1", 37, 8},
      {"empty text", "", 10, 8},
      {"4096 characters", std::string(4096, '1'), 2, 1024},
      {"out must hold more than the bytes", "256", 10, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> out(c.outSize);
    EXPECT_EQ(-1, radixToBytes(c.text, c.radix, out));
  }
  std::vector<std::uint8_t> out(1024);
  EXPECT_EQ(512, radixToBytes(std::string(1024, 'F'), 16, out));
}

TEST(RadixToBytes, RoundTripsBytesToRadix) {
  const Bytes number = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10};
  for (std::int32_t radix = 2; radix <= 36; ++radix) {
    SCOPED_TRACE(radix);
    std::array<char, 128> text{};
    const std::int32_t digits = bytesToRadix(number, text, radix);
    ASSERT_GT(digits, 0);
    std::array<std::uint8_t, 16> back{};
    ASSERT_EQ(static_cast<std::int32_t>(number.size()),
              radixToBytes(std::string_view(text.data(), digits), radix, back));
    EXPECT_EQ(number, Bytes(back.begin(), back.begin() + number.size()));
  }
}

TEST(HexToBytes, ReadsPairsAndALeadingOddDigit) {
  struct Case {
    std::string text;
    std::int32_t want;
    Bytes bytes;
  };
  const Case cases[] = {
      {"", 0, {}},
      {"0a", 1, {0x0A}},
      {"DeadBEEF", 4, {0xDE, 0xAD, 0xBE, 0xEF}},
      {"ABC", 2, {0x0A, 0xBC}},  // the first digit alone makes the first byte
      {"F", 1, {0x0F}},
      {"0G", -2, {}},
      {"G00", -2, {}},
      {"12 4", -2, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::array<std::uint8_t, 8> out{};
    ASSERT_EQ(c.want, hexToBytes(c.text, out));
    if (c.want >= 0) {
      EXPECT_EQ(c.bytes, Bytes(out.begin(), out.begin() + c.want));
    }
  }
}

TEST(HexToBytes, NeedsRoomForEveryByte) {
  std::array<std::uint8_t, 2> two{};
  EXPECT_EQ(2, hexToBytes("ABCD", two));
  EXPECT_EQ(-1, hexToBytes("ABCDE", two));  // three bytes
  EXPECT_EQ(-1, hexToBytes("ABCDEF", two));
  EXPECT_EQ(-1, hexToBytes("GGGGGG", two));  // the size is checked first
}

}  // namespace
}  // namespace kestrune::control
