// The few Win32 calls besides CryptoAPI that TVCAPI makes: text conversion in the ANSI code
// page (950), the temporary folder, message boxes, file times, the system language and the
// security descriptor of a machine key set (which the providers here accept and ignore).
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/cryptoapi.h"
#include "common/utf8.h"
#include "platform/linux/cryptoapi/certs/capi.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kNoUnicodeTranslation = 1113;               // ERROR_NO_UNICODE_TRANSLATION
constexpr std::int64_t kFileTimeEpochOffset = 11644473600;  // 1601-01-01 to 1970-01-01, seconds
constexpr std::int64_t kTicksPerSecond = 10000000;

bool isAnsi(UINT codePage) {
  return codePage == CP_ACP || codePage == 950;
}

// A lone surrogate (or a value past U+10FFFF, which UTF-16 can't hold) becomes U+FFFD, as
// Windows writes an unpaired surrogate without WC_ERR_INVALID_CHARS.
void toUtf8(std::wstring_view wide, std::string& out) {
  for (wchar_t w : wide) {
    auto c = static_cast<char32_t>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = U'\uFFFD';
    kestrune::appendUtf8(c, out);
  }
}

std::wstring fromUtf16(std::u16string_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::u16string toUtf16(std::wstring_view wide) {
  std::u16string out;
  for (wchar_t w : wide) {
    auto c = static_cast<char32_t>(w);
    if (c > 0x10FFFF) c = U'?';
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// Copies a converted text out as the Win32 conversions do: a length of 0 asks for the size;
// too small a buffer fails with ERROR_INSUFFICIENT_BUFFER.
template <class Char>
int deliver(const std::basic_string<Char>& converted, Char* out, int outLength) {
  if (converted.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(converted.size());
  if (outLength == 0) return needed;
  if (outLength < needed || out == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size() * sizeof(Char));
  return needed;
}

std::int64_t fileTimeSeconds(const FILETIME& time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / kTicksPerSecond) - kFileTimeEpochOffset;
}

FILETIME fileTimeOf(std::int64_t seconds) {
  const auto ticks = static_cast<std::uint64_t>(seconds + kFileTimeEpochOffset) * kTicksPerSecond;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// defaultCharOf returns the default character a caller names: its first byte, with the byte
// after it when that first byte is a Big5 lead byte.
std::string_view defaultCharOf(LPCSTR defaultChar) {
  if (defaultChar == nullptr) return "?";
  const auto first = static_cast<unsigned char>(defaultChar[0]);
  const bool lead = first >= 0x81 && first <= 0xFE && defaultChar[1] != '\0';
  return std::string_view(defaultChar, lead ? 2 : 1);
}

}  // namespace

// Malformed UTF-8 reads as U+FFFD, one for each maximal part that could have begun a
// character, unless MB_ERR_INVALID_CHARS asks for failure; UTF-8 takes no other flag. In code
// page 950 the flags are not looked at.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int wideLength) {
  if (text == nullptr || length < -1 || length == 0 || wideLength < 0 ||
      (!isAnsi(codePage) && codePage != CP_UTF8)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_UTF8 && (flags & ~MB_ERR_INVALID_CHARS) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // A length of -1 converts up to and including the terminating zero.
  const std::size_t size = length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
  std::string_view bytes(text, size);
  std::wstring converted;
  if (isAnsi(codePage)) {
    std::u16string utf16;
    if (!kestrune::platform::fromCodePage950(bytes, utf16)) {
      SetLastError(kNoUnicodeTranslation);
      return 0;
    }
    converted = fromUtf16(utf16);
  } else if (!kestrune::cryptoapi::decodeUtf8(bytes, converted) &&
             (flags & MB_ERR_INVALID_CHARS) != 0) {
    SetLastError(kNoUnicodeTranslation);
    return 0;
  }
  return deliver(converted, wide, wideLength);
}

// The composition flags (WC_COMPOSITECHECK and its companions) are refused rather than
// ignored: this conversion doesn't compose, and a caller asking for it would get another text
// than Windows gives.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                        int length, LPCSTR defaultChar, LPBOOL usedDefault) {
  if (wide == nullptr || wideLength < -1 || wideLength == 0 || length < 0 ||
      (!isAnsi(codePage) && codePage != CP_UTF8)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefault != nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & ~(isAnsi(codePage) ? WC_NO_BEST_FIT_CHARS : 0)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const std::size_t size =
      wideLength == -1 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideLength);
  std::wstring_view chars(wide, size);
  std::string converted;
  if (isAnsi(codePage)) {
    bool defaulted = false;
    const kestrune::platform::Big5Unmapped unmapped{(flags & WC_NO_BEST_FIT_CHARS) == 0,
                                                    defaultCharOf(defaultChar), &defaulted};
    if (!kestrune::platform::toCodePage950(toUtf16(chars), converted, unmapped)) {
      SetLastError(kNoUnicodeTranslation);
      return 0;
    }
    if (usedDefault != nullptr) *usedDefault = defaulted ? TRUE : FALSE;
  } else {
    toUtf8(chars, converted);
  }
  return deliver(converted, text, length);
}

DWORD GetTempPathA(DWORD length, LPSTR buffer) {
  std::string path = kestrune::platform::environmentVariable("TMPDIR");
  if (path.empty()) path = P_tmpdir;
  if (path.back() != '/') path.push_back('/');
  if (buffer == nullptr || length < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  kestrune::platform::messageBox(text != nullptr ? text : "", caption != nullptr ? caption : "");
  return 1;  // IDOK
}

void GetSystemTimeAsFileTime(LPFILETIME time) {
  if (time != nullptr) *time = fileTimeOf(kestrune::platform::currentTime());
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* system) {
  if (time == nullptr || system == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks = (std::uint64_t{time->dwHighDateTime} << 32) | time->dwLowDateTime;
  // Microsoft: the value must be less than 0x8000000000000000, else the call fails.
  if (ticks >= 0x8000000000000000) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::time_t seconds = fileTimeSeconds(*time);
  std::tm civil{};
  if (gmtime_r(&seconds, &civil) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *system = SYSTEMTIME{
      static_cast<WORD>(civil.tm_year + 1900), static_cast<WORD>(civil.tm_mon + 1),
      static_cast<WORD>(civil.tm_wday),        static_cast<WORD>(civil.tm_mday),
      static_cast<WORD>(civil.tm_hour),        static_cast<WORD>(civil.tm_min),
      static_cast<WORD>(civil.tm_sec),         static_cast<WORD>((ticks / 10000) % 1000)};
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* time, LPFILETIME local) {
  if (time == nullptr || local == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows shifts by the zone's offset as it is now (daylight saving time included if it is
  // in force now), whatever the date converted: Microsoft's documentation says so, and callers
  // that convert back with LocalFileTimeToFileTime rely on the same shift.
  const std::int64_t now = kestrune::platform::currentTime();
  kestrune::platform::CivilTime civil;
  if (!kestrune::platform::localTime(now, civil)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::tm tm{};
  tm.tm_year = civil.year - 1900;
  tm.tm_mon = civil.month - 1;
  tm.tm_mday = civil.day;
  tm.tm_hour = civil.hour;
  tm.tm_min = civil.minute;
  tm.tm_sec = civil.second;
  const std::int64_t offset = static_cast<std::int64_t>(timegm(&tm)) - now;
  const std::int64_t ticks =
      static_cast<std::int64_t>((std::uint64_t{time->dwHighDateTime} << 32) | time->dwLowDateTime);
  const std::int64_t shift = offset * static_cast<std::int64_t>(kTicksPerSecond);
  if (ticks < 0 || (shift < 0 && ticks < -shift) || (shift > 0 && ticks > INT64_MAX - shift)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto shifted = static_cast<std::uint64_t>(ticks + shift);
  *local = FILETIME{static_cast<DWORD>(shifted), static_cast<DWORD>(shifted >> 32)};
  return TRUE;
}

// The language of the locale (LC_ALL, LC_MESSAGES, LANG): zh_TW, zh_HK and zh_MO give the
// Traditional-Chinese ids, zh_CN and zh_SG the simplified ones, everything else US English.
LANGID GetSystemDefaultLangID() {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = kestrune::platform::environmentVariable(name);
    if (!locale.empty()) break;
  }
  if (locale.rfind("zh", 0) != 0) return 0x0409;
  if (locale.rfind("zh_CN", 0) == 0) return 0x0804;
  if (locale.rfind("zh_SG", 0) == 0) return 0x1004;
  if (locale.rfind("zh_HK", 0) == 0) return 0x0C04;
  if (locale.rfind("zh_MO", 0) == 0) return 0x1404;
  return 0x0404;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *static_cast<SECURITY_DESCRIPTOR*>(descriptor) =
      SECURITY_DESCRIPTOR{static_cast<BYTE>(revision), 0, 0, nullptr, nullptr, nullptr, nullptr};
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                               BOOL daclDefaulted) {
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  constexpr WORD kDaclPresent = 0x0004;
  constexpr WORD kDaclDefaulted = 0x0008;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  sd->Control =
      static_cast<WORD>((sd->Control & ~(kDaclPresent | kDaclDefaulted)) |
                        (daclPresent ? kDaclPresent : 0) | (daclDefaulted ? kDaclDefaulted : 0));
  sd->Dacl = daclPresent ? dacl : nullptr;
  return TRUE;
}
