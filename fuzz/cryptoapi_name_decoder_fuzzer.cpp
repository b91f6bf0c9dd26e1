// CryptDecodeObject(X509_NAME) on arbitrary bytes. A name it decodes encodes again, and that
// encoding decodes and encodes to itself; CertNameToStrA writes a terminated text for any
// input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_require.h"
#include "platform/cryptoapi.h"

namespace {

constexpr const char* kTarget = "cryptoapi_name_decoder_fuzzer";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const LPCSTR kNameType = reinterpret_cast<LPCSTR>(7);

using kestrune::fuzz::require;

// roundTrip decodes der and encodes the structure again; false when it doesn't decode.
bool roundTrip(const std::vector<std::uint8_t>& der, std::vector<std::uint8_t>& again) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, kNameType, der.data(), static_cast<DWORD>(der.size()), 0,
                         nullptr, &size)) {
    return false;
  }
  std::vector<std::uint64_t> info(size / 8 + 1);
  require(kTarget,
          CryptDecodeObject(kEncoding, kNameType, der.data(), static_cast<DWORD>(der.size()), 0,
                            info.data(), &size) == TRUE,
          "a name that reports its size does not decode");
  DWORD encodedSize = 0;
  if (!CryptEncodeObject(kEncoding, kNameType, info.data(), nullptr, &encodedSize)) return false;
  again.resize(encodedSize);
  require(kTarget,
          CryptEncodeObject(kEncoding, kNameType, info.data(), again.data(), &encodedSize) == TRUE,
          "a name that reports its encoded size does not encode");
  again.resize(encodedSize);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> input(data, data + size);
  CERT_NAME_BLOB blob{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
  char text[64];
  const DWORD written = CertNameToStrA(kEncoding, &blob, CERT_X500_NAME_STR, text, sizeof text);
  require(kTarget, written >= 1 && written <= sizeof text && text[written - 1] == '\0',
          "the name's text is not terminated inside the buffer");
  std::vector<std::uint8_t> first, second;
  if (!roundTrip(input, first)) return 0;
  require(kTarget, roundTrip(first, second), "a re-encoded name does not decode");
  require(kTarget, first == second, "a re-encoded name does not encode to itself");
  return 0;
}
