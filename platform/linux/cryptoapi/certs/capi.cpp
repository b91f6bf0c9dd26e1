#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

std::recursive_mutex& stateLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string utf8Of(std::wstring_view wide) {
  if (wide.empty() || wide.size() > 0x3FFFFFFF) return {};
  const int length = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

bool decodeUtf8(std::string_view text, std::wstring& wide) {
  bool wellFormed = true;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
      wide.push_back(static_cast<wchar_t>(lead));
      ++at;
      continue;
    }
    // The length the lead byte announces and the range of the byte after it, which rules out
    // overlong forms, surrogates and code points past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    char32_t c = length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    std::size_t taken = 1;
    for (; length != 0 && taken < length && at + taken < text.size(); ++taken) {
      const auto next = static_cast<unsigned char>(text[at + taken]);
      if (next < low || next > high) break;
      c = (c << 6) | (next & 0x3F);
      low = 0x80, high = 0xBF;
    }
    if (length == 0 || taken < length) {
      wide.push_back(L'\uFFFD');  // the maximal part that could have begun a character
      wellFormed = false;
    } else {
      wide.push_back(static_cast<wchar_t>(c));
    }
    at += taken;
  }
  return wellFormed;
}

bool wideOfUtf8(std::string_view text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  if (text.size() > 0x3FFFFFFF) return false;
  const int length = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<std::size_t>(needed));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(),
                             needed) == needed;
}

}  // namespace kestrune::cryptoapi
