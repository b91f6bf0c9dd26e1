// Code page 950 through iconv. The Windows conversions with flags 0 never fail on a
// character the other side lacks. Towards Big5 they write Windows' best fit when its table has
// one (iconv's CP950 has the round trips but those of the private use area, so a best fit or a
// user-defined character is needed only where iconv has no mapping), else the default character
// '?'; towards UTF-16, the user-defined character or '?'. Only malformed UTF-16 fails.
//
// ASCII (0x00-0x7F) is the same characters in both encodings, and most texts are ASCII, so
// runs of it are copied here and only the runs between them go through iconv. A run ends only
// where both sides have a character boundary (a surrogate is never ASCII; a Big5 lead byte
// takes the byte after it unless that is a zero), and iconv keeps no state between characters of
// these encodings, so the result is the one iconv gives for the whole text.
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/linux/codepage950_best_fit.h"
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

// convert runs iconv over the input and appends to out; for an input unit the target lacks
// (EILSEQ), replace(at, left, out) appends what stands for it and returns the bytes it takes.
template <class Out, class Replace>
bool convert(Converter& cv, const char* in, std::size_t inLeft, Out& out, Replace replace) {
  cv.reset();
  using Unit = typename Out::value_type;
  // The text may be a PIN: the bytes it leaves on the stack are wiped on every way out.
  char buffer[4096];
  std::size_t used = 0;
  struct Wipe {
    char* bytes;
    std::size_t& count;
    ~Wipe() { explicit_bzero(bytes, count); }
  } wipe{buffer, used};
  auto* src = const_cast<char*>(in);
  while (inLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    std::size_t rc = iconv(cv.get(), &src, &inLeft, &dst, &dstLeft);
    const std::size_t produced = sizeof buffer - dstLeft;
    used = std::max(used, produced);
    out.append(reinterpret_cast<const Unit*>(buffer), produced / sizeof(Unit));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EILSEQ || errno == EINVAL) {
      const std::size_t skip = replace(src, inLeft, out);
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

// bestFitOf returns the bytes Windows writes for a unit that Big5 lacks (one byte when below
// 0x100, else lead and trail), or 0 when its table has no best fit for it.
std::uint16_t bestFitOf(char16_t unit) {
  const BestFit950* end = kBestFits950 + kBestFits950Count;
  const BestFit950* it = std::lower_bound(
      kBestFits950, end, unit, [](const BestFit950& fit, char16_t u) { return fit.unit < u; });
  return it != end && it->unit == unit ? it->bytes : 0;
}

// privateUseBytesOf returns the bytes of a unit of the private use area that Windows' table
// maps both ways (as bestFitOf encodes them), or 0.
std::uint16_t privateUseBytesOf(char16_t unit) {
  const PrivateUseRun950* end = kPrivateUse950 + kPrivateUse950Count;
  const PrivateUseRun950* it =
      std::upper_bound(kPrivateUse950, end, unit,
                       [](char16_t u, const PrivateUseRun950& run) { return u < run.firstUnit; });
  if (it == kPrivateUse950) return 0;
  --it;
  const unsigned offset = unit - it->firstUnit;
  return offset < it->count ? static_cast<std::uint16_t>(it->firstBytes + offset) : 0;
}

// privateUseUnitOf is the other way: the unit of one byte or a lead and trail byte (the runs
// are few, and only bytes iconv refuses get here), or 0.
char16_t privateUseUnitOf(std::uint16_t bytes) {
  for (std::size_t i = 0; i < kPrivateUse950Count; ++i) {
    const PrivateUseRun950& run = kPrivateUse950[i];
    if (bytes >= run.firstBytes && bytes - run.firstBytes < run.count)
      return static_cast<char16_t>(run.firstUnit + (bytes - run.firstBytes));
  }
  return 0;
}

// A Big5 lead byte (0x81-0xFE) starts a two-byte character, unless a zero follows it: the
// character is cut short and the zero, which ends a terminated text, stays a character of its
// own.
std::size_t big5UnitSize(const char* p, std::size_t left) {
  const auto lead = static_cast<unsigned char>(*p);
  return lead >= 0x81 && lead <= 0xFE && left >= 2 && p[1] != '\0' ? 2 : 1;
}

// asciiLanes copies whole lanes of ASCII from in to out while they last and returns the units
// copied, at most `count`; the caller copies the rest of the run unit by unit. With stopAtZero a
// lane holding a zero isn't copied either.
#if defined(__SSE2__)
// UTF-16 to bytes: 16 units a lane, packed. Adding 0x7F80 with saturation sets a unit's top bit
// exactly when it is 0x80 or more; the top bits of the units' high bytes are read at once.
std::size_t asciiLanes(const char16_t* in, char* out, std::size_t count, bool stopAtZero) {
  const __m128i toTop = _mm_set1_epi16(0x7F80);
  const __m128i zero = _mm_setzero_si128();
  std::size_t at = 0;
  for (; at + 16 <= count; at += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at + 8));
    if ((_mm_movemask_epi8(_mm_adds_epu16(_mm_or_si128(a, b), toTop)) & 0xAAAA) != 0) break;
    const __m128i bytes = _mm_packus_epi16(a, b);
    if (stopAtZero && _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), bytes);
  }
  return at;
}
// Bytes to UTF-16: 32 bytes a lane, the top bits read at once, widened with zero bytes.
std::size_t asciiLanes(const char* in, char16_t* out, std::size_t count, bool /*stopAtZero*/) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t at = 0;
  for (; at + 32 <= count; at += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at + 16));
    if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) break;
    auto* const to = reinterpret_cast<__m128i*>(out + at);
    _mm_storeu_si128(to, _mm_unpacklo_epi8(a, zero));
    _mm_storeu_si128(to + 1, _mm_unpackhi_epi8(a, zero));
    _mm_storeu_si128(to + 2, _mm_unpacklo_epi8(b, zero));
    _mm_storeu_si128(to + 3, _mm_unpackhi_epi8(b, zero));
  }
  return at;
}
#else
// Fixed lane sizes, so that the compiler can vectorise the loops.
template <class In, class Out>
std::size_t asciiLanes(const In* in, Out* out, std::size_t count, bool stopAtZero) {
  using Unsigned = std::make_unsigned_t<In>;
  constexpr std::size_t kLane = 32;
  std::size_t at = 0;
  for (; at + kLane <= count; at += kLane) {
    Unsigned lane[kLane];
    std::memcpy(lane, in + at, sizeof lane);
    Unsigned any = 0;
    bool zero = false;
    for (const Unsigned unit : lane) {
      any |= unit;
      zero |= unit == 0;
    }
    if (any >= 0x80 || (stopAtZero && zero)) break;
    for (std::size_t i = 0; i < kLane; ++i) out[at + i] = static_cast<Out>(lane[i]);
  }
  return at;
}
#endif

// Units copied to the output together: the output string is appended to a chunk at a time
// rather than resized first, which would fill it with zeros only to overwrite them.
constexpr std::size_t kChunk = 4096;

// copyAscii appends the ASCII run at the start of text to out, each unit as the output's unit,
// and returns its length; with stopAtZero the run ends at a zero unit too.
template <class In, class Out>
std::size_t copyAscii(std::basic_string_view<In> text, std::basic_string<Out>& out,
                      bool stopAtZero = false) {
  using Unsigned = std::make_unsigned_t<In>;
  // The text may be a PIN: what it leaves in the chunk is wiped on the way out.
  Out chunk[kChunk];
  std::size_t used = 0;
  struct Wipe {
    Out* units;
    std::size_t& count;
    ~Wipe() { explicit_bzero(units, count * sizeof(Out)); }
  } wipe{chunk, used};
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t count = std::min(kChunk, text.size() - at);
    const std::size_t copied = asciiLanes(text.data() + at, chunk, count, stopAtZero);
    used = std::max(used, copied);
    out.append(chunk, copied);
    at += copied;
    if (copied < count) break;
  }
  for (; at < text.size() && static_cast<Unsigned>(text[at]) < 0x80; ++at) {
    if (stopAtZero && text[at] == 0) break;
    out.push_back(static_cast<Out>(static_cast<Unsigned>(text[at])));
  }
  return at;
}

// An ASCII gap shorter than this between non-ASCII characters goes to the converter with them:
// leaving the converter for every few characters of mixed text costs far more than the copy
// saves.
constexpr std::size_t kShortestAsciiGap = 16;

// asciiGap returns the length of the ASCII run at `from` when it is shorter than
// kShortestAsciiGap, ends inside the text and is followed by a non-ASCII unit; 0 otherwise.
// A zero unit ends a gap as the end of the text does when stopAtZero is set.
template <class Char>
std::size_t asciiGap(std::basic_string_view<Char> text, std::size_t from, bool stopAtZero) {
  using Unsigned = std::make_unsigned_t<Char>;
  std::size_t at = from;
  while (at < text.size() && at - from < kShortestAsciiGap &&
         static_cast<Unsigned>(text[at]) < 0x80) {
    if (stopAtZero && text[at] == 0) return 0;
    ++at;
  }
  const bool nonAsciiFollows = at < text.size() && static_cast<Unsigned>(text[at]) >= 0x80;
  return nonAsciiFollows ? at - from : 0;
}

// wideRunEnd returns where the run of non-ASCII UTF-16 units starting at `from` ends, short
// ASCII gaps included.
std::size_t wideRunEnd(std::u16string_view text, std::size_t from, bool stopAtZero) {
  while (from < text.size()) {
    while (from < text.size() && text[from] >= 0x80) ++from;
    const std::size_t gap = asciiGap(text, from, stopAtZero);
    if (gap == 0) break;
    from += gap;
  }
  return from;
}

// big5RunEnd returns where the run of non-ASCII Big5 characters starting at `from` ends, short
// ASCII gaps included: a lead byte takes the byte after it whatever that is but a zero, as the
// conversion takes it.
std::size_t big5RunEnd(std::string_view text, std::size_t from) {
  while (from < text.size()) {
    while (from < text.size() && static_cast<unsigned char>(text[from]) >= 0x80) {
      from += big5UnitSize(text.data() + from, text.size() - from);
    }
    from = std::min(from, text.size());
    const std::size_t gap = asciiGap(text, from, false);
    if (gap == 0) break;
    from += gap;
  }
  return from;
}

// toBig5 is toCodePage950 with the choice of what a character that Big5 lacks becomes.
bool toBig5(std::u16string_view text, std::string& out, TextEnd textEnd, std::size_t* asciiPrefix,
            const TextWritten& written, const OutputMoves& outputMoves,
            const Big5Unmapped& unmapped) {
  thread_local Converter cv("CP950", kUtf16);
  if (!cv.valid()) return false;
  out.clear();
  if (asciiPrefix != nullptr) *asciiPrefix = 0;
  const bool stopAtZero = textEnd == TextEnd::firstZero;
  // ASCII is copied a slice at a time, so that the caller sees each slice's bytes while they
  // are in the cache.
  constexpr std::size_t kSlice = 2 * kChunk;
  bool leading = true;  // still in the text's leading ASCII run
  // Before a piece that might not fit in the room left, the caller hears that the output may
  // move.
  bool warned = !outputMoves;
  const auto mayGrowBy = [&](std::size_t bytes) {
    if (!warned && out.size() + bytes > out.capacity()) {
      warned = true;
      outputMoves();
    }
  };
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t slice = std::min(kSlice, text.size() - at);
    mayGrowBy(slice);  // ASCII takes a byte a unit
    const std::size_t ascii = copyAscii(text.substr(at, slice), out, stopAtZero);
    at += ascii;
    if (leading && asciiPrefix != nullptr) *asciiPrefix = at;
    if (ascii == slice) {
      if (written) written(out);
      continue;  // the run may go on in the next slice
    }
    leading = false;
    if (stopAtZero && text[at] == u'\0') break;
    const std::size_t end = wideRunEnd(text, at, stopAtZero);
    const std::u16string_view run = text.substr(at, end - at);
    mayGrowBy(2 * run.size());  // Big5 takes at most two bytes a unit
    const auto replace = [&](const char* lacking, std::size_t left, std::string& to) {
      const std::size_t size = utf16UnitSize(lacking, left);
      char16_t unit = 0;
      if (size == 2) std::memcpy(&unit, lacking, 2);
      // A surrogate pair is one character: it gets one default, never a best fit. A
      // user-defined character is a round trip, written whatever the flags.
      const std::uint16_t userDefined = size == 2 ? privateUseBytesOf(unit) : 0;
      const std::uint16_t fit = userDefined != 0                ? userDefined
                                : unmapped.bestFit && size == 2 ? bestFitOf(unit)
                                                                : 0;
      if (fit >= 0x100) to.push_back(static_cast<char>(fit >> 8));
      if (fit != 0) {
        to.push_back(static_cast<char>(fit & 0xFF));
      } else {
        to.append(unmapped.defaultChar);
        if (unmapped.usedDefault != nullptr) *unmapped.usedDefault = true;
      }
      return size;
    };
    if (!wellFormed(run) ||
        !convert(cv, reinterpret_cast<const char*>(run.data()), run.size() * 2, out, replace)) {
      return false;
    }
    at = end;
    if (written) written(out);
  }
  return true;
}

}  // namespace

bool toCodePage950(std::u16string_view text, std::string& out, TextEnd textEnd,
                   std::size_t* asciiPrefix, const TextWritten& written,
                   const OutputMoves& outputMoves) {
  return toBig5(text, out, textEnd, asciiPrefix, written, outputMoves, Big5Unmapped{});
}

bool toCodePage950(std::u16string_view text, std::string& out, const Big5Unmapped& unmapped) {
  if (unmapped.usedDefault != nullptr) *unmapped.usedDefault = false;
  return toBig5(text, out, TextEnd::whole, nullptr, {}, {}, unmapped);
}

bool fromCodePage950(std::string_view text, std::u16string& out) {
  thread_local Converter cv(kUtf16, "CP950");
  if (!cv.valid()) return false;
  out.clear();
  for (std::size_t at = 0; at < text.size();) {
    at += copyAscii(text.substr(at), out);
    if (at == text.size()) break;
    const std::size_t end = big5RunEnd(text, at);
    const auto replace = [](const char* from, std::size_t left, std::u16string& to) {
      const std::size_t size = big5UnitSize(from, left);
      const auto first = static_cast<unsigned char>(from[0]);
      const std::uint16_t bytes =
          size == 2 ? static_cast<std::uint16_t>((first << 8) | static_cast<unsigned char>(from[1]))
                    : first;
      const char16_t userDefined = privateUseUnitOf(bytes);
      to.push_back(userDefined != 0 ? userDefined : u'?');
      return size;
    };
    if (!convert(cv, text.data() + at, end - at, out, replace)) return false;
    at = end;
  }
  return true;
}

}  // namespace kestrune::platform
