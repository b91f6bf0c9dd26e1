#include "ca/issued_bag.h"

#include <new>

namespace kestrune::ca {

Status issueInBag(const CertificateSpec& spec, EVP_PKEY* caKey, long bagType,
                  const FediTime& bagTime, IssuedBag& issued) noexcept {
  try {
    IssuedBag made;
    Status status = Status::ok;
    made.certificate = issueCertificate(spec, caKey, &status);
    if (!made.certificate) return status;
    FEDI_X509* const certificates[] = {made.certificate.get()};
    made.bag = makeBag(certificates, bagType, bagTime, &status);
    if (!made.bag) return status;
    made.der = toDer(*made.bag);
    if (made.der.empty()) return Status::failed;
    issued = std::move(made);
    return Status::ok;
  } catch (const std::bad_alloc&) {
    return Status::noMemory;
  }
}

const char* statusText(Status status) noexcept {
  switch (status) {
    case Status::ok:
      return "ok";
    case Status::badName:
      return "a name the certificate cannot carry";
    case Status::badTime:
      return "a validity time the FEDI rule refuses";
    case Status::badSubjectKey:
      return "the subject's key is not a usable RSA key";
    case Status::badCaKey:
      return "the authority's key is not an RSA private key";
    case Status::cannotRead:
    case Status::badPem:
      return "the authority's key cannot be read";
    case Status::failed:
      return "OpenSSL refused to sign or encode";
    case Status::noMemory:
      return "out of memory";
  }
  return "an unknown failure";
}

}  // namespace kestrune::ca
