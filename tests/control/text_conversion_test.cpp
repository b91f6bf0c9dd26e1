// Conversions between the interface's UTF-16 and code page 950.
#include <gtest/gtest.h>

#include <string>

#include "control/text_conversion.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/secret_text.h"

namespace kestrune {
namespace {

TEST(TextConversion, ToCodePage950) {
  struct Case {
    const char* name;
    std::u16string text;
    std::int32_t wantCode;
    std::string want;
  };
  const Case cases[] = {
      {"ascii", u"FEDICA.prikey", kOk, "FEDICA.prikey"},
      {"empty", u"", kOk, ""},
      {"big5", u"\u4E2D\u6587", kOk, "\xA4\xA4\xA4\xE5"},
      {"missing from big5", u"a\uAC00b", kOk, "a?b"},
      {"surrogate pair missing from big5", u"\U0001F600", kOk, "?"},
      {"up to the first zero", std::u16string(u"ab\0cd", 5), kOk, "ab"},
      {"lone high surrogate", std::u16string(1, char16_t{0xD800}), kTextBufferFailed, ""},
      {"lone low surrogate", u"x" + std::u16string(1, char16_t{0xDFFF}), kTextBufferFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_EQ(c.wantCode, control::textToCodePage950(c.text, out));
    if (c.wantCode == kOk) {
      EXPECT_EQ(c.want, out);
    }
  }
}

// A PIN or pass phrase converts as any text does, within its buffer; a failed conversion
// leaves nothing behind.
TEST(TextConversion, SecretText) {
  struct Case {
    const char* name;
    std::u16string text;
    std::size_t bufferBytes;
    std::int32_t wantCode;
    std::string want;
  };
  const Case cases[] = {
      {"a PIN", u"123456", 8192, kOk, "123456"},
      {"big5", u"\u4E2D\u6587", 5, kOk, "\xA4\xA4\xA4\xE5"},
      {"no room for the terminator", u"1234", 4, kTextBufferFailed, ""},
      {"up to the first zero",
       std::u16string(u"12\0"
                      u"34",
                      5),
       3, kOk, "12"},
      {"lone surrogate", u"1" + std::u16string(1, char16_t{0xD800}), 8192, kTextBufferFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    control::SecretText out;
    EXPECT_EQ(c.wantCode, control::secretText(c.text, out, c.bufferBytes));
    EXPECT_EQ(c.want, std::string(out.c_str(), out.size()));
    // A moved text leaves its source empty.
    control::SecretText moved(std::move(out));
    EXPECT_TRUE(out.empty());  // NOLINT(bugprone-use-after-move): the wipe is what is tested
    EXPECT_EQ(c.want, std::string(moved.c_str(), moved.size()));
  }
}

TEST(TextConversion, FromCodePage950) {
  struct Case {
    const char* name;
    std::string text;
    std::u16string want;
  };
  const Case cases[] = {
      {"ascii", "Linkway", u"Linkway"},
      {"empty", "", u""},
      {"big5", "\xA4\xA4\xA4\xE5", u"\u4E2D\u6587"},
      {"kept zero", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string out;
    EXPECT_EQ(kOk, control::textFromCodePage950(c.text, out));
    EXPECT_EQ(c.want, out);
  }
}

}  // namespace
}  // namespace kestrune
