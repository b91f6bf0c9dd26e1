// The request records on arbitrary bytes. The first byte picks the record (new-certificate
// request, extension, revocation, revocation body); the rest is its DER. What decodes must
// round-trip; a new-certificate request's key is read and the request verified.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_req.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_req_fuzzer";

template <class T>
T* roundTrip(T* (*d2i)(T**, const unsigned char**, long), int (*i2d)(const T*, unsigned char**),
             void (*release)(T*), const std::uint8_t* data, std::size_t size,
             bool constructedBitTolerated = false) {
  const unsigned char* pos = data;
  T* record = d2i(nullptr, &pos, static_cast<long>(size));
  if (record == nullptr) {
    kestrune::fuzz::require(kTarget, pos == data, "a failed decode moved the position");
    return nullptr;
  }
  kestrune::fuzz::checkRoundTrip(kTarget, d2i, i2d, release, static_cast<const T*>(record), data,
                                 static_cast<std::size_t>(pos - data), constructedBitTolerated);
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t* der = data + 1;
  const std::size_t len = size - 1;
  switch (data[0] % 4) {
    case 0:
      if (FEDIREQ* req = roundTrip(d2i_FEDIREQ, i2d_FEDIREQ, FEDIREQ_free, der, len)) {
        EVP_PKEY_free(FEDIREQ_get_pubkey(req));
        const unsigned char pass[] = "pass";
        FEDIREQ_verify(req, pass, 4);
        FEDIREQ_free(req);
      }
      break;
    case 1:
      FEDIEXT_free(roundTrip(d2i_FEDIEXT, i2d_FEDIEXT, FEDIEXT_free, der, len));
      break;
    case 2:
      FEDIREV_free(roundTrip(d2i_FEDIREV, i2d_FEDIREV, FEDIREV_free, der, len, true));
      break;
    default:
      FEDIREV_INFO_free(
          roundTrip(d2i_FEDIREV_INFO, i2d_FEDIREV_INFO, FEDIREV_INFO_free, der, len, true));
      break;
  }
  return 0;
}
