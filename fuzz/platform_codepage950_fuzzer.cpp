// The code page 950 conversions on arbitrary bytes, which reach them from the authority's
// identifier answers and from every text of the control's interface. The first byte picks the
// direction; the rest is Big5 bytes or UTF-16 code units (native order).
// Big5 in: the conversion succeeds, writes no more characters than bytes, keeps ASCII as it
// is, and gives well-formed UTF-16 that converts back. UTF-16 in: it fails exactly for a lone
// surrogate, otherwise gives Big5 that reads back. Either way a second round changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_require.h"
#include "platform/platform.h"

namespace {

constexpr const char* kTarget = "platform_codepage950_fuzzer";

using kestrune::fuzz::require;
using kestrune::platform::fromCodePage950;
using kestrune::platform::toCodePage950;

bool wellFormed(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// stableFromBig5 checks that Big5 made by the encoder reads back and encodes to itself.
void stableFromBig5(const std::string& big5) {
  std::u16string wide;
  require(kTarget, fromCodePage950(big5, wide), "the encoder's Big5 does not read back");
  std::string again;
  require(kTarget, toCodePage950(wide, again), "read-back text does not convert");
  require(kTarget, again == big5, "a second round changed the Big5 bytes");
}

void fromBig5(std::string_view bytes) {
  std::u16string wide;
  require(kTarget, fromCodePage950(bytes, wide), "Big5 bytes were refused");
  require(kTarget, wide.size() <= bytes.size(), "more characters than bytes");
  require(kTarget, wellFormed(wide), "malformed UTF-16 from Big5");
  bool ascii = true;
  for (const char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    require(kTarget, wide == std::u16string(bytes.begin(), bytes.end()), "ASCII changed");
  }
  std::string big5;
  require(kTarget, toCodePage950(wide, big5), "text read from Big5 does not convert back");
  stableFromBig5(big5);
}

void fromUtf16(std::string_view bytes) {
  std::u16string wide(bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
  std::string big5;
  const bool converted = toCodePage950(wide, big5);
  require(kTarget, converted == wellFormed(wide), "refused exactly when not well-formed");
  if (!converted) return;
  stableFromBig5(big5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    fromBig5(bytes);
  } else {
    fromUtf16(bytes);
  }
  return 0;
}
