// Code page 950 through iconv. The Windows conversions with flags 0 never fail on a
// character the other side lacks: they write '?' instead. Only malformed UTF-16 fails.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// One converter per direction and thread, opened on first use.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

bool isHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

bool wellFormed(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isHighSurrogate(text[i])) {
      if (i + 1 >= text.size() || !isLowSurrogate(text[i + 1])) return false;
      ++i;
    } else if (isLowSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

// convert runs iconv over the whole input; an input unit the target lacks (EILSEQ) is
// replaced by `replacement` and skipped (`unit` bytes, or 4 for a surrogate pair).
template <class Out>
bool convert(Converter& cv, const char* in, std::size_t inLeft, Out& out,
             const typename Out::value_type replacement,
             std::size_t (*unitSize)(const char*, std::size_t)) {
  if (!cv.valid()) return false;
  cv.reset();
  out.clear();
  using Unit = typename Out::value_type;
  char buffer[4096];
  auto* src = const_cast<char*>(in);
  while (inLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    std::size_t rc = iconv(cv.get(), &src, &inLeft, &dst, &dstLeft);
    const std::size_t produced = sizeof buffer - dstLeft;
    out.append(reinterpret_cast<const Unit*>(buffer), produced / sizeof(Unit));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EILSEQ || errno == EINVAL) {
      out.push_back(replacement);
      std::size_t skip = unitSize(src, inLeft);
      src += skip;
      inLeft -= skip;
      cv.reset();
      continue;
    }
    return false;
  }
  return true;
}

std::size_t utf16UnitSize(const char* p, std::size_t left) {
  if (left < 2) return left;
  char16_t c;
  std::memcpy(&c, p, 2);
  return isHighSurrogate(c) && left >= 4 ? 4 : 2;
}

// A Big5 lead byte (0x81-0xFE) starts a two-byte character.
std::size_t big5UnitSize(const char* p, std::size_t left) {
  const auto lead = static_cast<unsigned char>(*p);
  return lead >= 0x81 && lead <= 0xFE && left >= 2 ? 2 : 1;
}

}  // namespace

bool toCodePage950(std::u16string_view text, std::string& out) {
  if (!wellFormed(text)) return false;
  thread_local Converter cv("CP950", kUtf16);
  return convert(cv, reinterpret_cast<const char*>(text.data()), text.size() * 2, out, '?',
                 utf16UnitSize);
}

bool fromCodePage950(std::string_view text, std::u16string& out) {
  thread_local Converter cv(kUtf16, "CP950");
  return convert(cv, text.data(), text.size(), out, u'?', big5UnitSize);
}

}  // namespace kestrune::platform
