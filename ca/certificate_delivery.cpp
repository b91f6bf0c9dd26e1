#include "ca/certificate_delivery.h"

#include <openssl/sha.h>

#include <ctime>

#include "common/der.h"
#include "common/ptr.h"

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

namespace {

CertificateSigner holderSigner(const AuthorityContext& context, const CertificatePlan& plan,
                               EVP_PKEY* subjectKey) {
  return [&context, &plan, subjectKey](std::int64_t serial) {
    return signCertificate(context.key.get(), context.name, serial,
                           fediNameOf(plan.holder.sid2, plan.holder.sid1), plan.notBefore,
                           plan.notAfter, subjectKey);
  };
}

}  // namespace

StoreResult issueFor(const AuthorityContext& context, AuthorityStore& store,
                     const CertificatePlan& plan, EVP_PKEY* subjectKey, CertificateRecord& issued) {
  CertificatePlan keyed = plan;
  keyed.keyDigest = keyDigest(subjectKey);
  if (keyed.keyDigest.empty()) return StoreResult::failed;
  return store.issue(keyed, holderSigner(context, keyed, subjectKey), issued);
}

NewCertificateResult issueNewFor(const AuthorityContext& context, AuthorityStore& store,
                                 const CertificatePlan& plan, const std::string& pass,
                                 EVP_PKEY* subjectKey, CertificateRecord& issued) {
  CertificatePlan keyed = plan;
  keyed.keyDigest = keyDigest(subjectKey);
  if (keyed.keyDigest.empty()) return NewCertificateResult::failed;
  return store.issueNew(keyed, pass, context.now(), holderSigner(context, keyed, subjectKey),
                        issued);
}

std::vector<std::uint8_t> keyDigest(const EVP_PKEY* key) {
  if (key == nullptr) return {};
  const std::vector<std::uint8_t> der = kestrune::toDer(key, i2d_PublicKey);
  if (der.empty()) return {};
  std::vector<std::uint8_t> digest(SHA256_DIGEST_LENGTH);
  if (EVP_Digest(der.data(), der.size(), digest.data(), nullptr, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  return digest;
}

std::vector<std::uint8_t> certificateKeyDigest(const CertificateRecord& record) {
  const CertificatePtr certificate = decodeCertificate(record);
  const Ptr<EVP_PKEY> key(certificate ? FEDI_X509_get_pubkey(certificate.get()) : nullptr);
  return keyDigest(key.get());
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
