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
      {"ascii", u"FEDICA.prikey", +ControlCode::kOk, "FEDICA.prikey"},
      {"empty", u"", +ControlCode::kOk, ""},
      {"big5", u"\u4E2D\u6587", +ControlCode::kOk, "\xA4\xA4\xA4\xE5"},
      {"missing from big5", u"a\uAC00b", +ControlCode::kOk, "a?b"},
      {"surrogate pair missing from big5", u"\U0001F600", +ControlCode::kOk, "?"},
      {"up to the first zero", std::u16string(u"ab\0cd", 5), +ControlCode::kOk, "ab"},
      {"lone high surrogate", std::u16string(1, char16_t{0xD800}), +ControlCode::kTextBufferFailed,
       ""},
      {"lone low surrogate", u"x" + std::u16string(1, char16_t{0xDFFF}),
       +ControlCode::kTextBufferFailed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_EQ(c.wantCode, control::textToCodePage950(c.text, out));
    if (c.wantCode == +ControlCode::kOk) {
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
      {"a PIN", u"123456", 8192, +ControlCode::kOk, "123456"},
      {"big5", u"\u4E2D\u6587", 5, +ControlCode::kOk, "\xA4\xA4\xA4\xE5"},
      {"no room for the terminator", u"1234", 4, +ControlCode::kTextBufferFailed, ""},
      {"up to the first zero",
       std::u16string(u"12\0"
                      u"34",
                      5),
       3, +ControlCode::kOk, "12"},
      {"lone surrogate", u"1" + std::u16string(1, char16_t{0xD800}), 8192,
       +ControlCode::kTextBufferFailed, ""},
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
    EXPECT_EQ(+ControlCode::kOk, control::textFromCodePage950(c.text, out));
    EXPECT_EQ(c.want, out);
  }
}

// ASCII runs are copied and only the text between them goes through the converter: the result
// must be the converter's for the whole text. Runs are cut on both sides of non-ASCII text at
// lane edges (31, 32, 33, 64 characters), and the cases at the edges of ASCII and of Big5 are
// the results of converting the whole text at once.
TEST(TextConversion, AsciiRunsConvertAsTheWholeText) {
  const std::u16string a31(31, u'A'), a32(32, u'A'), a33(33, u'A'), a40(40, u'A');
  struct ToCase {
    const char* name;
    std::u16string text;
    std::int32_t wantCode;
    std::string want;
  };
  const ToCase to[] = {
      {"control characters and DEL", std::u16string(u"\x01\x1F\x7F", 3), +ControlCode::kOk,
       "\x01\x1F\x7F"},
      {"U+0080", u"a\u0080b", +ControlCode::kOk,
       "a\x80"
       "b"},
      {"euro sign", u"\u20AC", +ControlCode::kOk, "\xA3\xE1"},
      {"section sign", u"\u00A7x", +ControlCode::kOk, "\xA1\xB1x"},
      {"big5 after 31 ascii", a31 + u"\u4E2D" + std::u16string(40, u'B'), +ControlCode::kOk,
       std::string(31, 'A') + "\xA4\xA4" + std::string(40, 'B')},
      {"big5 after 32 ascii", a32 + u"\u4E2D'", +ControlCode::kOk,
       std::string(32, 'A') + "\xA4\xA4'"},
      {"big5 after 33 ascii", a33 + u"\u4E2D\u6587" + std::u16string(64, u'C'), +ControlCode::kOk,
       std::string(33, 'A') + "\xA4\xA4\xA4\xE5" + std::string(64, 'C')},
      {"missing after 64 ascii", std::u16string(64, u'A') + u"\uAC00DDD", +ControlCode::kOk,
       std::string(64, 'A') + "?DDD"},
      {"pair after 40 ascii", a40 + u"\U0001F600E", +ControlCode::kOk, std::string(40, 'A') + "?E"},
      {"zero between ascii runs", a40 + std::u16string(1, u'\0') + std::u16string(40, u'F'),
       +ControlCode::kOk, std::string(40, 'A')},
      {"lone surrogate after the zero", a40 + std::u16string(1, u'\0') + u"\xD800",
       +ControlCode::kOk, std::string(40, 'A')},
      {"high surrogate before ascii", a40 + std::u16string(1, char16_t{0xD800}) + u"G",
       +ControlCode::kTextBufferFailed, ""},
      {"low surrogate after 70 ascii", std::u16string(70, u'A') + u"\xDC00",
       +ControlCode::kTextBufferFailed, ""},
      {"high surrogate at the end", u"\u4E2D\xDBFF", +ControlCode::kTextBufferFailed, ""},
  };
  for (const auto& c : to) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_EQ(c.wantCode, control::textToCodePage950(c.text, out));
    if (c.wantCode == +ControlCode::kOk) {
      EXPECT_EQ(c.want, out);
    }
  }

  const std::string b31(31, 'A'), b32(32, 'A'), b33(33, 'A'), b40(40, 'A');
  struct FromCase {
    const char* name;
    std::string text;
    std::u16string want;
  };
  const FromCase from[] = {
      {"control characters and DEL", "\x01\x1F\x7F", std::u16string(u"\x01\x1F\x7F", 3)},
      // Microsoft's table: 0xFF is U+F8F8, and 0x8140 lies in the user-defined area.
      {"0x80 and 0xFF",
       "a\x80"
       "b\xFF"
       "c",
       u"a\u0080b\uF8F8c"},
      {"trail byte in the ascii range",
       "\xA4\x40"
       "A",
       u"\u4E00A"},
      {"lead byte before an apostrophe", "\xA4'B'", u"?B'"},
      {"lead byte at the end", b40 + "\xA4", a40 + u"?"},
      {"big5 after 31 ascii", b31 + "\xA4\xA4" + std::string(40, 'B'),
       a31 + u"\u4E2D" + std::u16string(40, u'B')},
      {"big5 after 32 ascii", b32 + "\xA4\xA4\xA4\xE5'", a32 + u"\u4E2D\u6587'"},
      {"big5 after 33 ascii", b33 + "\xA4\xA4" + std::string(64, 'C'),
       a33 + u"\u4E2D" + std::u16string(64, u'C')},
      {"user-defined pair",
       b40 + "\x81\x40"
             "D",
       a40 + u"\uEEB8D"},
      {"unassigned pair",
       b40 + "\xA3\xFE"
             "D",
       a40 + u"?D"},
      // A zero is never a trail byte: the lead byte stands alone, the zero is kept.
      {"lead then zero", std::string("\xA4\0E", 3), std::u16string(u"?\0E", 3)},
      {"euro bytes", "\xA3\xE1", u"\u20AC"},
  };
  for (const auto& c : from) {
    SCOPED_TRACE(c.name);
    std::u16string out;
    EXPECT_EQ(+ControlCode::kOk, control::textFromCodePage950(c.text, out));
    EXPECT_EQ(c.want, out);
  }
}

// The leading ASCII run that the conversion reports is repeated byte for unit in its output.
TEST(TextConversion, ReportsTheLeadingAsciiRun) {
  const std::u16string a40(40, u'A');
  struct Case {
    const char* name;
    std::u16string text;
    std::size_t want;
  };
  const Case cases[] = {
      {"empty", u"", 0},
      {"all ascii", a40, 40},
      {"big5 after ascii", a40 + u"\u4E2D" + a40, 40},
      {"missing from big5 after ascii", a40 + u"\uAC00" + a40, 40},
      {"big5 first", u"\u4E2D" + a40, 0},
      {"up to the zero", a40 + std::u16string(1, u'\0') + u"\u4E2D", 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    std::size_t ascii = 99;
    EXPECT_EQ(+ControlCode::kOk, control::textToCodePage950(c.text, out, &ascii));
    EXPECT_EQ(c.want, ascii);
    EXPECT_EQ(std::string(c.text.begin(), c.text.begin() + c.want), out.substr(0, c.want));
  }
}

}  // namespace
}  // namespace kestrune
