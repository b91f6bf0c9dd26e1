// The library's Base64: line layout, padding, tolerated and refused characters, buffer sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TVCAPI/tvcapi.h"

namespace {

std::string encoded(const std::string& data) {
  char* text = nullptr;
  std::uint32_t count = 0;
  EXPECT_EQ(0, tvbase64_encode(reinterpret_cast<const uint8_t*>(data.data()),
                               static_cast<uint32_t>(data.size()), &text, &count));
  std::string out(text, count);
  EXPECT_EQ('\0', text[count]);  // an own buffer ends in a zero byte
  TVXCAPI_Free(text);
  return out;
}

TEST(Base64Test, EncodesInLinesOfSixtyFour) {
  struct Case {
    std::string data;
    std::string want;
  };
  const std::string line(64, 'Q');  // 48 bytes of 'A' (0x41) give "QUFB" sixteen times
  std::string quads;
  for (int i = 0; i < 16; ++i) quads += "QUFB";
  const Case kCases[] = {
      {"abc", "YWJj\n"},
      {"ab", "YWI=\n"},
      {"a", "YQ==\n"},
      {"", ""},
      {std::string(48, 'A'), quads + "\n"},
      {std::string(49, 'A'), quads + "\nQQ==\n"},
      {std::string(50, 'A'), quads + "\nQUE=\n"},
      {std::string(51, 'A'), quads + "\nQUFB\n"},
      {std::string(96, 'A'), quads + "\n" + quads + "\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.data.size());
    EXPECT_EQ(c.want, encoded(c.data));
  }
}

TEST(Base64Test, CallersBufferMustHoldTheText) {
  const std::string data(49, 'A');
  char buffer[70];
  char* text = buffer;
  std::uint32_t count = 69;
  EXPECT_EQ(5003,
            tvbase64_encode(reinterpret_cast<const uint8_t*>(data.data()), 49, &text, &count));
  EXPECT_EQ(70u, count);
  EXPECT_EQ(buffer, text);
  count = 70;
  EXPECT_EQ(0, tvbase64_encode(reinterpret_cast<const uint8_t*>(data.data()), 49, &text, &count));
  EXPECT_EQ(70u, count);
  EXPECT_EQ("QQ==\n", std::string(buffer + 65, 5));
  EXPECT_EQ(5005, tvbase64_encode(nullptr, 3, &text, &count));
}

struct DecodeCase {
  std::string text;
  int want;
  std::string bytes;
};

TEST(Base64Test, Decodes) {
  const DecodeCase kCases[] = {
      {"YWJj", 0, "abc"},
      {"YWJj\r\n", 0, "abc"},
      {"YW\r\nJj", 0, "abc"},
      {"YWI=", 0, "ab"},
      {"YW==", 0, "a"},
      {"YQ==\n", 0, "a"},
      {"", 0, ""},
      {"YWJ", 5008, ""},
      {"YWJj=", 5008, ""},
      {"Y===", 5008, ""},
      {"YW======", 5008, ""},  // more pad characters than any text carries
      {"====", 5008, ""},
      {"YWJ*", 5008, ""},
      {"YWJj\tYWJj", 5008, ""},
      {"-----BEGIN X-----", 5008, ""},
      {"YQ==YWJj", 0, "a"},                     // the first "=" ends the text
      {std::string("YWJj\0YWJ", 8), 0, "abc"},  // a zero byte ends it too
      {"+/+/", 0, "\xfb\xff\xbf"},
      {" / /", 0, "\xfb\xff\xbf"},  // a space is read as "+"
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(c.want,
              tvbase64_decode(c.text.data(), static_cast<uint32_t>(c.text.size()), &bytes, &count));
    if (c.want != 0) {
      EXPECT_EQ(nullptr, bytes);
      continue;
    }
    EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char*>(bytes), count));
    EXPECT_EQ(0, bytes[count]);
    TVXCAPI_Free(bytes);
  }
}

TEST(Base64Test, DecodesIntoCallersBuffer) {
  uint8_t buffer[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  uint8_t* bytes = buffer;
  std::uint32_t count = 2;
  EXPECT_EQ(5003, tvbase64_decode("YWJj", 4, &bytes, &count));
  EXPECT_EQ(3u, count);
  count = 3;
  EXPECT_EQ(0, tvbase64_decode("YWJj", 4, &bytes, &count));
  EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(buffer), 3));
  EXPECT_EQ(1, buffer[3]);  // no room was left for a zero
  count = sizeof buffer;
  EXPECT_EQ(0, tvbase64_decode("YWI=", 4, &bytes, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(0, buffer[2]);
  EXPECT_EQ(buffer, bytes);
}

TEST(Base64Test, RoundTripsEveryLength) {
  std::string data;
  for (int n = 0; n < 200; ++n) {
    SCOPED_TRACE(n);
    const std::string text = encoded(data);
    uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(0, tvbase64_decode(text.data(), static_cast<uint32_t>(text.size()), &bytes, &count));
    EXPECT_EQ(data, std::string(reinterpret_cast<char*>(bytes), count));
    TVXCAPI_Free(bytes);
    data.push_back(static_cast<char>(n * 37 + 11));
  }
}

}  // namespace
