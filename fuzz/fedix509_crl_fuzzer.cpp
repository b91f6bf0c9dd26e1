// d2i_FEDICRL on arbitrary bytes: what decodes re-encodes, byte for byte for DER input.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_crl.h"
#include "fuzz/fedix509_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const unsigned char* pos = data;
  FEDICRL* record = d2i_FEDICRL(nullptr, &pos, static_cast<long>(size));
  if (record == nullptr) return 0;
  kestrune::fuzz::checkRoundTrip("fedix509_crl_fuzzer", d2i_FEDICRL, i2d_FEDICRL, FEDICRL_free,
                                 static_cast<const FEDICRL*>(record), data,
                                 static_cast<std::size_t>(pos - data));
  FEDICRL_free(record);
  return 0;
}
