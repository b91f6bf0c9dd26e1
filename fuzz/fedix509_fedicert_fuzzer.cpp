// d2i_FEDICERT on arbitrary bytes: every certificate is taken out and inspected, and the bag
// round-trips, also after its list was taken apart and rebuilt.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_x509.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_fedicert_fuzzer";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrune::fuzz::require;
  const unsigned char* pos = data;
  FEDICERT* bag = d2i_FEDICERT(nullptr, &pos, static_cast<long>(size));
  if (bag == nullptr) return 0;
  const std::size_t consumed = static_cast<std::size_t>(pos - data);
  kestrune::fuzz::checkRoundTrip(kTarget, d2i_FEDICERT, i2d_FEDICERT, FEDICERT_free,
                                 static_cast<const FEDICERT*>(bag), data, consumed);

  // A bag rebuilt from the certificates taken out writes the same list.
  FEDICERT* rebuilt = FEDICERT_new();
  require(kTarget, rebuilt != nullptr, "no new bag");
  const int count = FEDICERT_get_num(bag);
  for (int i = 0; i < count; ++i) {
    FEDI_X509* cert = FEDICERT_get_cert(bag, i);
    require(kTarget, cert != nullptr, "a listed certificate cannot be taken");
    EVP_PKEY_free(FEDI_X509_get_pubkey(cert));
    require(kTarget, FEDICERT_push_cert(rebuilt, cert) == 1, "push failed");
  }
  require(kTarget, FEDICERT_get_cert(bag, count) == nullptr, "a certificate past the end");
  ASN1_STRING_free(rebuilt->typeTag);
  rebuilt->typeTag = ASN1_STRING_dup(bag->typeTag);
  ASN1_INTEGER_free(rebuilt->version);
  rebuilt->version = ASN1_INTEGER_dup(bag->version);
  ASN1_INTEGER_free(rebuilt->type);
  rebuilt->type = ASN1_INTEGER_dup(bag->type);
  ASN1_INTEGER_free(rebuilt->count);
  rebuilt->count = ASN1_INTEGER_dup(bag->count);
  require(kTarget, FEDICERT_set_time(rebuilt, bag->time) == 1, "time not copied");
  const auto original =
      kestrune::fuzz::encodeOrAbort(kTarget, i2d_FEDICERT, static_cast<const FEDICERT*>(bag));
  const auto copy =
      kestrune::fuzz::encodeOrAbort(kTarget, i2d_FEDICERT, static_cast<const FEDICERT*>(rebuilt));
  kestrune::fuzz::requireSame(kTarget, original.data(), original.size(), copy.data(), copy.size());
  FEDICERT_free(rebuilt);
  FEDICERT_free(bag);
  return 0;
}
