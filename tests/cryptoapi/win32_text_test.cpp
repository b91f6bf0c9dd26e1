// WideCharToMultiByte and MultiByteToWideChar in code page 950 as Windows converts: best fits
// for what Big5 lacks, the default character, and whether it was used.
#include <string>

#include <gtest/gtest.h>

#include "platform/cryptoapi.h"
#include "platform/linux/codepage950_best_fit.h"

namespace kestrune::test {
namespace {

struct Converted {
  int result = 0;
  std::string text;
  BOOL usedDefault = -1;
  DWORD error = 0;
};

Converted toAnsi(const std::wstring& wide, DWORD flags, LPCSTR defaultChar = nullptr,
                 UINT codePage = 950) {
  Converted out;
  char buffer[64] = {};
  SetLastError(0);
  out.result = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                                   buffer, sizeof buffer, defaultChar, &out.usedDefault);
  out.error = GetLastError();
  if (out.result > 0) out.text.assign(buffer, static_cast<std::size_t>(out.result));
  return out;
}

std::wstring fromAnsi(const std::string& text) {
  wchar_t buffer[64] = {};
  const int result =
      MultiByteToWideChar(950, 0, text.data(), static_cast<int>(text.size()), buffer, 64);
  return std::wstring(buffer, static_cast<std::size_t>(result > 0 ? result : 0));
}

TEST(Win32Text, CharactersBig5LacksGetBestFitsOrTheDefault) {
  struct Case {
    const char* name;
    std::wstring text;
    DWORD flags;
    LPCSTR defaultChar;
    std::string want;
    BOOL usedDefault;
  };
  const Case cases[] = {
      {"round trip", L"a\u4E2D", 0, nullptr, "a\xA4\xA4", FALSE},
      {"accents fit their letters", L"caf\u00E9 M\u00FCller \u00C5", 0, nullptr, "cafe Muller A",
       FALSE},
      {"a best fit in Big5", L"\u00A2\u00A5\u2022", 0, nullptr, "\xA2\x46\xA2\x44\xA1\x45", FALSE},
      {"no best fit", L"\uAC00", 0, nullptr, "?", TRUE},
      {"surrogate pair", L"\U0001F600", 0, nullptr, "?", TRUE},
      {"without best fits", L"caf\u00E9", WC_NO_BEST_FIT_CHARS, nullptr, "caf?", TRUE},
      {"without best fits, round trips stay", L"\u4E2D", WC_NO_BEST_FIT_CHARS, nullptr, "\xA4\xA4",
       FALSE},
      {"the caller's default", L"x\uAC00", 0, "*", "x*", TRUE},
      {"a best fit before the caller's default", L"\u00E9\uAC00", 0, "*", "e*", TRUE},
      {"a double-byte default", L"\u00E9", WC_NO_BEST_FIT_CHARS, "\xA1\x48", "\xA1\x48", TRUE},
      {"a lead byte alone is one byte", L"\uAC00", 0, "\xA1", "\xA1", TRUE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Converted got = toAnsi(c.text, c.flags, c.defaultChar);
    EXPECT_EQ(got.text, c.want);
    EXPECT_EQ(got.result, static_cast<int>(c.want.size()));
    EXPECT_EQ(got.usedDefault, c.usedDefault);
  }
}

// Every best fit of Windows' table: without the flag its bytes, which read back as the
// character they belong to and not as the original; with it the default.
TEST(Win32Text, EveryBestFitBothWays) {
  ASSERT_GT(platform::kBestFits950Count, 400u);
  for (std::size_t i = 0; i < platform::kBestFits950Count; ++i) {
    const platform::BestFit950& fit = platform::kBestFits950[i];
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(fit.unit));
    std::string bytes;
    if (fit.bytes >= 0x100) bytes.push_back(static_cast<char>(fit.bytes >> 8));
    bytes.push_back(static_cast<char>(fit.bytes & 0xFF));
    const std::wstring original(1, static_cast<wchar_t>(fit.unit));

    const Converted fitted = toAnsi(original, 0);
    EXPECT_EQ(fitted.text, bytes);
    EXPECT_EQ(fitted.usedDefault, FALSE);
    const Converted strict = toAnsi(original, WC_NO_BEST_FIT_CHARS);
    EXPECT_EQ(strict.text, "?");
    EXPECT_EQ(strict.usedDefault, TRUE);

    const std::wstring back = fromAnsi(bytes);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_NE(back, original);
    EXPECT_NE(back, L"?");
    // The character read back is a round trip: the same bytes, without the flag or with it.
    EXPECT_EQ(toAnsi(back, WC_NO_BEST_FIT_CHARS).text, bytes);
  }
}

// The bytes of a best fit read back as the character they belong to: those of ¢ (U+00A2) as
// the fullwidth cent sign, of ¥ as the fullwidth yen sign, of • as the hyphenation point.
TEST(Win32Text, ReadBackGivesTheRoundTripCharacter) {
  struct Case {
    const char* bytes;
    std::wstring want;
  };
  const Case cases[] = {
      {"cafe Muller", L"cafe Muller"}, {"\xA2\x46", L"\uFFE0"}, {"\xA2\x44", L"\uFFE5"},
      {"\xA1\x45", L"\u2027"},         {"\xA4\xA4", L"\u4E2D"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(fromAnsi(c.bytes), c.want);
  }
}

TEST(Win32Text, ParametersWindowsRefuses) {
  const std::wstring text = L"\u00E9";
  BOOL used = FALSE;
  char out[8];
  struct Case {
    const char* name;
    UINT codePage;
    DWORD flags;
    LPCSTR defaultChar;
    LPBOOL usedDefault;
    DWORD error;
  };
  const Case cases[] = {
      {"UTF-8 with a used-default flag", CP_UTF8, 0, nullptr, &used, ERROR_INVALID_PARAMETER},
      {"UTF-8 with a default", CP_UTF8, 0, "?", nullptr, ERROR_INVALID_PARAMETER},
      {"UTF-8 without best fits", CP_UTF8, WC_NO_BEST_FIT_CHARS, nullptr, nullptr,
       ERROR_INVALID_FLAGS},
      {"950 with an unknown flag", 950, 0x200, nullptr, nullptr, ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(c.codePage, c.flags, text.data(), 1, out, sizeof out,
                                  c.defaultChar, c.usedDefault),
              0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  // UTF-8 itself converts everything; an unpaired surrogate becomes U+FFFD.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.data(), 1, out, sizeof out, nullptr, nullptr), 2);
  EXPECT_EQ(std::string(out, 2), "\xC3\xA9");
  const std::wstring lone = {L'a', static_cast<wchar_t>(0xD800), L'b'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone.data(), 3, out, sizeof out, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(out, 5),
            "a\xEF\xBF\xBD"
            "b");
}

}  // namespace
}  // namespace kestrune::test
