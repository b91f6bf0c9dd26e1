// TVCAPI's Base64 and PEM decoders on arbitrary text, with an own buffer and with a caller's
// buffer of every capacity (the buffer is exactly that long, so a write past it is caught).
// Whatever decodes must re-encode, bare and armoured, and decode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "TVCAPI/tvcapi.h"
#include "fuzz/fuzz_require.h"

namespace {

constexpr const char* kTarget = "tvcapi_pem_base64_fuzzer";
constexpr const char* kLabels = "CERTIFICATE;X509 CERTIFICATE;PKCS7;RSA PRIVATE KEY";

using kestrune::fuzz::require;

std::vector<std::uint8_t> decodeOwn(const char* text, std::uint32_t length, const char* labels,
                                    int& rc) {
  TVCAPI_BLOB blob{0, nullptr};
  rc = TVXCAPI_Decode(text, length, &blob, labels);
  if (rc != 0) {
    require(kTarget, blob.data == nullptr, "a failed decode handed out a buffer");
    return {};
  }
  require(kTarget, blob.data != nullptr, "a decode succeeded without output");
  std::vector<std::uint8_t> bytes(blob.data, blob.data + blob.count);
  require(kTarget, blob.data[blob.count] == 0, "an own buffer does not end in a zero byte");
  TVXCAPI_FreeBlob(&blob);
  return bytes;
}

void checkRoundTrip(const std::vector<std::uint8_t>& bytes, const char* label) {
  TVCAPI_BLOB text{0, nullptr};
  require(kTarget,
          TVXCAPI_Encode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &text, label) == 0,
          "encode failed");
  int rc = 0;
  const auto back = decodeOwn(reinterpret_cast<const char*>(text.data), text.count,
                              label != nullptr ? kLabels : nullptr, rc);
  TVXCAPI_FreeBlob(&text);
  require(kTarget, rc == 0 && back == bytes, "round trip changed the bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  // The text exactly as long as it is, so reads past its end are caught.
  std::vector<char> text(data + 1, data + size);
  const auto length = static_cast<std::uint32_t>(text.size());
  const char* labels = (control & 1) != 0 ? kLabels : nullptr;

  int rc = 0;
  const auto bytes = decodeOwn(text.data(), length, labels, rc);
  require(kTarget, rc == 0 || rc == 5008 || rc == 5045, "unexpected decode result");
  if (rc == 0) {
    require(kTarget, bytes.size() <= length / 4 * 3, "more bytes than the text can carry");
    checkRoundTrip(bytes, nullptr);
    checkRoundTrip(bytes, "PKCS7");
  }

  // The same into a caller's buffer of a capacity the input chooses.
  const std::size_t capacity = control >> 1;
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(capacity != 0 ? capacity : 1));
  TVCAPI_BLOB blob{static_cast<std::uint32_t>(capacity), buffer};
  const int inBuffer = TVXCAPI_Decode(text.data(), length, &blob, labels);
  if (rc != 0) {
    // The capacity is checked before the text is read, so a small buffer may speak first.
    require(kTarget, inBuffer == rc || (inBuffer == 5003 && blob.count > capacity),
            "a caller's buffer changed the verdict");
  } else if (inBuffer == 0) {
    require(kTarget,
            blob.data == buffer && blob.count == bytes.size() &&
                (bytes.empty() || std::memcmp(buffer, bytes.data(), bytes.size()) == 0),
            "a caller's buffer got other bytes");
  } else {
    require(kTarget, inBuffer == 5003 && blob.count > capacity, "a small buffer was not reported");
  }
  std::free(buffer);

  // The plain Base64 decoder on the raw text too.
  std::uint8_t* raw = nullptr;
  std::uint32_t count = 0;
  if (tvbase64_decode(text.data(), length, &raw, &count) == 0) TVXCAPI_Free(raw);
  return 0;
}
