// d2i_FEDI_CAPUBKEY on arbitrary bytes: the key is made from what decodes, twice, and the
// record round-trips.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_x509.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_capubkey_fuzzer";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrune::fuzz::require;
  const unsigned char* pos = data;
  FEDI_CAPUBKEY* record = d2i_FEDI_CAPUBKEY(nullptr, &pos, static_cast<long>(size));
  if (record == nullptr) return 0;
  kestrune::fuzz::checkRoundTrip(kTarget, d2i_FEDI_CAPUBKEY, i2d_FEDI_CAPUBKEY, FEDI_CAPUBKEY_free,
                                 static_cast<const FEDI_CAPUBKEY*>(record), data,
                                 static_cast<std::size_t>(pos - data));
  EVP_PKEY* first = FEDI_CAPUBKEY_get_pkey(record);
  EVP_PKEY* second = FEDI_CAPUBKEY_get_pkey(record);
  require(kTarget, first == second, "the key is not cached");
  FEDI_CAPUBKEY_free(record);
  EVP_PKEY_free(first);
  EVP_PKEY_free(second);
  return 0;
}
