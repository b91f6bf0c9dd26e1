// The control's Base64: line layout of the encoder, the decoder's leniencies and refusals,
// round trips, and agreement with OpenSSL's unbroken Base64.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "token/base64.h"

namespace kestrune::token {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

Bytes randomBytes(std::size_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(byte(rng));
  return out;
}

std::string withoutLineFeeds(std::string text) {
  std::erase(text, '\n');
  return text;
}

std::string openSslEncode(const Bytes& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

TEST(Base64Test, EncodeLayout) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::string want;
  };
  const Case cases[] = {
      {"empty", {}, "\n"},
      {"one byte", bytesOf("a"), "YQ==\n"},
      {"two bytes", bytesOf("ab"), "YWI=\n"},
      {"abc", bytesOf("abc"), "YWJj\n"},
      {"high bits", {0xFF, 0xFE, 0xFD, 0x00}, "//79AA==\n"},
      {"45 + 2 bytes fill a line without a break", Bytes(47, 0), std::string(63, 'A') + "=\n"},
      {"48 bytes", Bytes(48, 0), std::string(64, 'A') + "\n\n"},
      {"49 bytes", Bytes(49, 0), std::string(64, 'A') + "\nAA==\n"},
      {"96 bytes", Bytes(96, 0), std::string(64, 'A') + "\n" + std::string(64, 'A') + "\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text(300, '#');  // a reused buffer holding older, longer text
    ASSERT_TRUE(text_Base64Encode(c.bytes, text));
    EXPECT_EQ(c.want, text);
  }
}

TEST(Base64Test, DecodeCases) {
  struct Case {
    std::string_view text;
    bool ok;
    Bytes want;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"", true, {}},
      {"YWJj", true, bytesOf("abc")},
      {"YWJj\r\n", true, bytesOf("abc")},
      {"YW\r\nJj\nZGVm\n", true, bytesOf("abcdef")},
      {"YW Jj", true, {0x61, 0x6F, 0x89}},  // read as YW+Jj; the lone j carries no byte
      {"YW+Jj", true, {0x61, 0x6F, 0x89}},
      {"YQ==", true, {0x61}},
      {"YQ", true, {0x61}},
      {"YWI=", true, bytesOf("ab")},
      {"YWI", true, bytesOf("ab")},
      {"YWJjZA", true, bytesOf("abcd")},
      {"Y", true, {}},
      {"YQ==*-", true, {0x61}},  // nothing after the first '=' is read
      {"YQ=Zm9v", true, {0x61}},
      {"YWJj\0*"sv, true, bytesOf("abc")},  // a zero byte ends the text
      {"Y=", false, {}},
      {"=", false, {}},
      {"YWJj=", false, {}},
      {"YWJjZ=", false, {}},
      {"*WJj", false, {}},
      {"YW-j", false, {}},
      {"YWJjZGVm\t", false, {}},
      {"YWJj\x80", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    Bytes bytes(300, 0xEE);  // a reused buffer holding older, longer output
    EXPECT_EQ(c.ok, text_Base64Decode(c.text, bytes));
    EXPECT_EQ(c.want, bytes);
  }
}

TEST(Base64Test, RoundTripsEveryLengthUpTo200) {
  std::mt19937 rng(20240611);
  for (std::size_t n = 0; n <= 200; ++n) {
    SCOPED_TRACE(n);
    const Bytes bytes = randomBytes(n, rng);
    std::string text;
    ASSERT_TRUE(text_Base64Encode(bytes, text));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    // Full lines of 64 characters; only the last line may be shorter (or empty after a
    // multiple of 48 bytes).
    const std::size_t body = text.size() - 1;
    for (std::size_t lineEnd = 64; lineEnd < body; lineEnd += 65) EXPECT_EQ('\n', text[lineEnd]);
    EXPECT_EQ(n % 48 == 0 && n > 0, text.size() >= 2 && text[text.size() - 2] == '\n');

    Bytes decoded;
    ASSERT_TRUE(text_Base64Decode(text, decoded));
    EXPECT_EQ(bytes, decoded);
  }
}

TEST(Base64Test, AgreesWithOpenSsl) {
  std::mt19937 rng(4648);
  for (std::size_t n = 0; n <= 200; ++n) {
    SCOPED_TRACE(n);
    const Bytes bytes = randomBytes(n, rng);
    std::string ours;
    ASSERT_TRUE(text_Base64Encode(bytes, ours));
    const std::string theirs = openSslEncode(bytes);
    EXPECT_EQ(theirs, withoutLineFeeds(ours));

    Bytes decoded;
    ASSERT_TRUE(text_Base64Decode(theirs, decoded));
    EXPECT_EQ(bytes, decoded);

    // EVP_DecodeBlock keeps the padding as zero bytes: it gives whole groups of 3.
    const std::string unbroken = withoutLineFeeds(ours);
    Bytes block(unbroken.size() / 4 * 3 + 1);
    const int length =
        EVP_DecodeBlock(block.data(), reinterpret_cast<const unsigned char*>(unbroken.data()),
                        static_cast<int>(unbroken.size()));
    ASSERT_EQ(static_cast<int>((n + 2) / 3 * 3), length);
    EXPECT_EQ(bytes, Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n)));
  }
}

}  // namespace
}  // namespace kestrune::token
