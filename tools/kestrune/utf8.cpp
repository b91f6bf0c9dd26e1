#include "tools/kestrune/utf8.h"

#include "common/utf8.h"

#include <cstdint>

namespace kestrune::host {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

void appendUtf16(char32_t c, std::u16string& out) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

}  // namespace

bool utf8ToUtf16(std::string_view text, std::u16string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t smallest = 0;  // the least value each length may encode: shorter forms are overlong
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < smallest || c > 0x10FFFF || isSurrogate(c)) return false;
    appendUtf16(c, out);
    i += length;
  }
  return true;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (isSurrogate(c)) {
      c = kReplacement;
    }
    appendUtf8(c, out);
  }
  return out;
}

}  // namespace kestrune::host
