// d2i_FEDI_ASN1_TIME on arbitrary bytes; what decodes passes its own check and round-trips.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_x509.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_time_fuzzer";

void releaseTime(ASN1_TIME* time) {
  ASN1_TIME_free(time);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const unsigned char* pos = data;
  ASN1_TIME* time = d2i_FEDI_ASN1_TIME(nullptr, &pos, static_cast<long>(size));
  if (time == nullptr) return 0;
  using kestrune::fuzz::require;
  require(kTarget, pos > data && pos <= data + size, "position outside the input");
  if (time->type == V_ASN1_UTCTIME) {
    require(kTarget, FEDI_ASN1_UTCTIME_check(time) == 1, "a decoded UTCTime fails the check");
  } else {
    require(kTarget, time->type == V_ASN1_GENERALIZEDTIME, "a time of another type");
    require(kTarget, ASN1_GENERALIZEDTIME_check(time) == 1, "a bad GeneralizedTime decoded");
  }
  kestrune::fuzz::checkRoundTrip(kTarget, d2i_FEDI_ASN1_TIME, i2d_FEDI_ASN1_TIME, releaseTime,
                                 static_cast<const ASN1_TIME*>(time), data,
                                 static_cast<std::size_t>(pos - data));
  ASN1_TIME_free(time);
  return 0;
}
