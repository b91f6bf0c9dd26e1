// WideCharToMultiByte and MultiByteToWideChar as Windows converts: in code page 950 best fits
// for what Big5 lacks, the default character and whether it was used, a lead byte cut short;
// malformed UTF-8, zero lengths; and the range FileTimeToSystemTime takes.
#include <cstdint>
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

// The user-defined characters of Windows' table map both ways, as round trips: written
// whatever the flags, never as the default, and read back as the same character.
TEST(Win32Text, EveryUserDefinedCharacterBothWays) {
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < platform::kPrivateUse950Count; ++i) {
    const platform::PrivateUseRun950& run = platform::kPrivateUse950[i];
    for (unsigned k = 0; k < run.count; ++k, ++pairs) {
      const auto unit = static_cast<wchar_t>(run.firstUnit + k);
      const unsigned code = run.firstBytes + k;
      SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(unit));
      std::string bytes;
      if (code >= 0x100) bytes.push_back(static_cast<char>(code >> 8));
      bytes.push_back(static_cast<char>(code & 0xFF));
      for (const DWORD flags : {0u, WC_NO_BEST_FIT_CHARS}) {
        const Converted written = toAnsi(std::wstring(1, unit), flags);
        ASSERT_EQ(written.text, bytes);
        EXPECT_EQ(written.usedDefault, FALSE);
      }
      ASSERT_EQ(fromAnsi(bytes), std::wstring(1, unit));
    }
  }
  EXPECT_GE(pairs, 5810u);
  // The ends of the area, a lone 0xFF among other text, and a unit of the area the table lacks.
  EXPECT_EQ(fromAnsi("\xFA\x40"), L"\uE000");
  EXPECT_EQ(fromAnsi("a\xFF\xA4\xA4"), L"a\uF8F8\u4E2D");
  EXPECT_EQ(toAnsi(L"a\uF8F8\u4E2D", 0).text, "a\xFF\xA4\xA4");
  const Converted lacking = toAnsi(L"\uF850", 0);
  EXPECT_EQ(lacking.text, "?");
  EXPECT_EQ(lacking.usedDefault, TRUE);
}

struct Read {
  int result = 0;
  std::wstring wide;
  DWORD error = 0;
};

Read fromBytes(UINT codePage, DWORD flags, const std::string& bytes, int length) {
  Read out;
  wchar_t buffer[64] = {};
  SetLastError(0);
  out.result = MultiByteToWideChar(codePage, flags, bytes.c_str(), length, buffer, 64);
  out.error = GetLastError();
  if (out.result > 0) out.wide.assign(buffer, static_cast<std::size_t>(out.result));
  return out;
}

// Malformed UTF-8 reads as U+FFFD, one for each maximal part that could have begun a
// character; MB_ERR_INVALID_CHARS makes it fail instead.
TEST(Win32Text, MalformedUtf8IsReplacedUnlessInvalidCharsFail) {
  struct Case {
    const char* name;
    std::string bytes;
    std::wstring replaced;
  };
  const Case cases[] = {
      {"cut short", "\xC3", L"\uFFFD"},
      {"overlong", "\xC0\xAF", L"\uFFFD\uFFFD"},
      {"surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"stray continuation",
       "A\x80"
       "B",
       L"A\uFFFDB"},
      {"a character cut by the next",
       "\xE4\xB8"
       "A\xE4\xB8\xAD",
       L"\uFFFDA\u4E2D"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Read plain = fromBytes(CP_UTF8, 0, c.bytes, static_cast<int>(c.bytes.size()));
    EXPECT_EQ(plain.wide, c.replaced);
    EXPECT_EQ(plain.result, static_cast<int>(c.replaced.size()));
    const Read terminated = fromBytes(CP_UTF8, 0, c.bytes, -1);
    EXPECT_EQ(terminated.wide, c.replaced + L'\0');
    for (const int length : {static_cast<int>(c.bytes.size()), -1}) {
      const Read strict = fromBytes(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes, length);
      EXPECT_EQ(strict.result, 0);
      EXPECT_EQ(strict.error, 1113u);  // ERROR_NO_UNICODE_TRANSLATION
    }
  }
  const Read good = fromBytes(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xE4\xB8\xAD", -1);
  EXPECT_EQ(good.wide, std::wstring(L"a\u4E2D") + L'\0');
  // UTF-8 takes no other flag.
  const Read flagged = fromBytes(CP_UTF8, 0x1 /* MB_PRECOMPOSED */, "a", 1);
  EXPECT_EQ(flagged.result, 0);
  EXPECT_EQ(flagged.error, static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

// A length of zero is no text: both conversions fail with ERROR_INVALID_PARAMETER.
TEST(Win32Text, ZeroLengthFails) {
  for (const UINT codePage : {950u, CP_ACP, CP_UTF8}) {
    SCOPED_TRACE(codePage);
    wchar_t wide[4] = {L'a'};
    char bytes[4] = {'a'};
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(codePage, 0, bytes, 0, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(codePage, 0, wide, 0, bytes, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

// A Big5 lead byte before a zero is a character cut short ('?'); the zero stays, and ends a
// terminated text.
TEST(Win32Text, LeadByteBeforeAZeroLeavesTheZero) {
  struct Case {
    const char* name;
    std::string bytes;
    int length;
    std::wstring want;
  };
  const Case cases[] = {
      {"terminated", "A\xA4", -1, std::wstring(L"A?") + L'\0'},
      {"zero inside the length", std::string("A\xA4\0B", 4), 4, std::wstring(L"A?") + L'\0' + L'B'},
      {"lead byte last", "A\xA4", 2, L"A?"},
      {"whole character", "A\xA4\xA4", -1, std::wstring(L"A\u4E2D") + L'\0'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const UINT codePage : {950u, CP_ACP}) {
      const Read got = fromBytes(codePage, 0, c.bytes, c.length);
      EXPECT_EQ(got.wide, c.want);
      EXPECT_EQ(got.result, static_cast<int>(c.want.size()));
    }
  }
}

// FILETIME values from 0x8000000000000000 on are no time: the conversion fails.
TEST(Win32Time, FileTimeToSystemTimeRefusesValuesPastTheSignBit) {
  struct Case {
    std::uint64_t ticks;
    bool ok;
  };
  const Case cases[] = {{0, true},
                        {0x7FFFFFFFFFFFFFFF, true},
                        {0x8000000000000000, false},
                        {0xFFFFFFFFFFFFFFFF, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.ticks);
    const FILETIME time{static_cast<DWORD>(c.ticks), static_cast<DWORD>(c.ticks >> 32)};
    SYSTEMTIME system{};
    SetLastError(0);
    EXPECT_EQ(FileTimeToSystemTime(&time, &system), c.ok ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), c.ok ? 0u : static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const FILETIME last{0xFFFFFFFF, 0x7FFFFFFF};
  SYSTEMTIME system{};
  ASSERT_TRUE(FileTimeToSystemTime(&last, &system));
  EXPECT_EQ(system.wYear, 30828);
  EXPECT_EQ(system.wMonth, 9);
  EXPECT_EQ(system.wDay, 14);
}

}  // namespace
}  // namespace kestrune::test
