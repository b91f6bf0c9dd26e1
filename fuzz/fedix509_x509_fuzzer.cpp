// d2i_FEDI_X509 on arbitrary bytes: accessors, the on-demand key and the signature check run
// on what decodes, which must round-trip.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_x509.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_x509_fuzzer";

void exercise(FEDI_X509* cert) {
  FEDI_X509_get_version(cert);
  FEDI_X509_get_signature_nid(cert);
  FEDI_X509_get_notBefore(cert);
  FEDI_X509_get_notAfter(cert);
  EVP_PKEY* key = FEDI_X509_get_pubkey(cert);
  if (key != nullptr) {
    // Self-signed or not, the check answers without failing hard.
    const int verified = FEDI_X509_verify(cert, key);
    kestrune::fuzz::require(kTarget, verified >= -1 && verified <= 1, "verify out of range");
    EVP_PKEY_free(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const unsigned char* pos = data;
  FEDI_X509* cert = d2i_FEDI_X509(nullptr, &pos, static_cast<long>(size));
  if (cert == nullptr) return 0;
  kestrune::fuzz::checkRoundTrip(kTarget, d2i_FEDI_X509, i2d_FEDI_X509, FEDI_X509_free,
                                 static_cast<const FEDI_X509*>(cert), data,
                                 static_cast<std::size_t>(pos - data));
  exercise(cert);
  FEDI_X509_free(cert);
  return 0;
}
