// Decodes arbitrary text as Base64. Whatever decodes must re-encode and decode to the same
// bytes, and the input itself, taken as bytes, must survive an encode/decode round trip.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "token/base64.h"

namespace {

using kestrune::token::text_Base64Decode;
using kestrune::token::text_Base64Encode;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "base64_decode_fuzzer: %s\n", what);
  std::abort();
}

void checkRoundTrip(std::span<const std::uint8_t> bytes) {
  std::string text;
  require(text_Base64Encode(bytes, text), "encode failed");
  require(!text.empty() && text.back() == '\n', "encoded text does not end with a line feed");
  std::vector<std::uint8_t> back;
  require(text_Base64Decode(text, back), "own encoding does not decode");
  require(std::equal(bytes.begin(), bytes.end(), back.begin(), back.end()),
          "round trip changed the bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::uint8_t> bytes;
  if (text_Base64Decode(text, bytes)) {
    require(bytes.size() <= size / 4 * 3 + 2, "more bytes than the text can carry");
    checkRoundTrip(bytes);
  } else {
    require(bytes.empty(), "a failed decode left output behind");
  }
  checkRoundTrip({data, size});
  return 0;
}
