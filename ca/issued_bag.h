// One certificate issued and delivered the way the authority delivers it: alone in a bag, with
// the bag's DER ready to send or store.
#pragma once

#include <cstdint>
#include <vector>

#include "ca/issuing.h"

namespace kestrune::ca {

struct IssuedBag {
  CertificatePtr certificate;
  BagPtr bag;
  std::vector<std::uint8_t> der;  // the bag's DER
};

// issueInBag issues spec with caKey and puts the certificate alone in a bag of bagType stamped
// bagTime. Returns ok with issued filled, or the Status of the step that failed (failed when the
// bag does not encode); issued is then left empty.
Status issueInBag(const CertificateSpec& spec, EVP_PKEY* caKey, long bagType,
                  const FediTime& bagTime, IssuedBag& issued) noexcept;

// statusText returns a short English text for status. The text is static.
const char* statusText(Status status) noexcept;

}  // namespace kestrune::ca
