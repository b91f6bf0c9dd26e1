// Line output and the portable forms of values.
#include <cstdio>
#include <cstdlib>
#include <set>

#include "common/utf8.h"
#include "tests/cryptoapi_compare/probe.h"

namespace probe {

void emit(const std::string& key, const std::string& value) {
  static std::set<std::string> seen;
  if (!seen.insert(key).second) {
    std::fprintf(stderr, "probe: key printed twice: %s\n", key.c_str());
    std::exit(2);
  }
  std::printf("%s\t%s\n", key.c_str(), value.c_str());
}

std::string hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

std::string hex(const Bytes& bytes) {
  return hex(bytes.data(), bytes.size());
}

std::string hexWord(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string escaped(std::string_view bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", c);
      text += code;
    }
  }
  return text;
}

std::u32string codePoints(const wchar_t* text, std::size_t length) {
  std::u32string points;
  for (std::size_t i = 0; i < length; ++i) {
    auto unit = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      unit &= 0xFFFF;
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
        auto low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          points.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          ++i;
          continue;
        }
      }
    }
    points.push_back(unit);
  }
  return points;
}

std::wstring wide(std::u32string_view text) {
  std::wstring units;
  for (char32_t c : text) {
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      units.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<wchar_t>(c));
    }
  }
  return units;
}

std::string utf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    if ((c >= 0x20 && c < 0x7F && c != '\\') || (c >= 0xA0 && c < 0xD800) ||
        (c > 0xDFFF && c <= 0x10FFFF)) {
      kestrune::appendUtf8(c, out);
    } else {
      char code[16];
      std::snprintf(code, sizeof code, "\\u{%X}", static_cast<unsigned>(c));
      out += code;
    }
  }
  return out;
}

std::string codePointList(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    char code[16];
    std::snprintf(code, sizeof code, "%sU+%04X", out.empty() ? "" : " ", static_cast<unsigned>(c));
    out += code;
  }
  return out;
}

std::string lastError() {
  return hexWord(GetLastError());
}

std::string outcome(BOOL ok) {
  return ok ? std::string("ok") : "fail:" + lastError();
}

}  // namespace probe
