#include "ca/certificate_delivery.h"

#include <ctime>

namespace kestrune::ca {

std::vector<std::uint8_t> signCertificate(EVP_PKEY* authorityKey, const FediName& issuer,
                                          std::int64_t serial, const FediName& subject,
                                          std::int64_t notBefore, std::int64_t notAfter,
                                          EVP_PKEY* subjectKey) {
  CertificateSpec spec;
  spec.serial = static_cast<std::uint64_t>(serial);
  spec.issuer = issuer;
  spec.subject = subject;
  spec.notBefore = static_cast<std::time_t>(notBefore);
  spec.notAfter = static_cast<std::time_t>(notAfter);
  spec.subjectKey = subjectKey;
  const CertificatePtr certificate = issueCertificate(spec, authorityKey);
  return certificate ? toDer(*certificate) : std::vector<std::uint8_t>{};
}

StoreResult issueFor(const AuthorityContext& context, AuthorityStore& store,
                     const CertificatePlan& plan, EVP_PKEY* subjectKey, CertificateRecord& issued) {
  const FediName subject = fediNameOf(plan.holder.sid2, plan.holder.sid1);
  return store.issue(
      plan,
      [&](std::int64_t serial) {
        return signCertificate(context.key.get(), context.name, serial, subject, plan.notBefore,
                               plan.notAfter, subjectKey);
      },
      issued);
}

CertificatePtr decodeCertificate(const CertificateRecord& record) {
  const unsigned char* pos = record.der.data();
  CertificatePtr certificate(d2i_FEDI_X509(nullptr, &pos, static_cast<long>(record.der.size())));
  if (certificate && pos != record.der.data() + record.der.size()) return nullptr;
  return certificate;
}

Outcome deliverBag(const AuthorityContext& context, int type, const CertificateRecord& record) {
  const CertificatePtr certificate = decodeCertificate(record);
  if (!certificate) return refuse(kRefuseInternal, "a recorded certificate does not decode");
  FEDI_X509* const certificates[] = {certificate.get()};
  BagPtr bag = makeBag(certificates, type, static_cast<std::time_t>(context.now()));
  if (!bag) return refuse(kRefuseInternal, "the certificate bag cannot be made");
  return Answer{type, std::move(bag)};
}

}  // namespace kestrune::ca
