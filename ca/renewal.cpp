// A renewal (request 2 "CeRt_eXt", answer 3): the holder asks, under the key of its current
// certificate, for the certificate that follows it. The renewal carries the same subject and
// key and starts when the current certificate ends, so the control keeps it waiting beside the
// current one. Asking again while it waits gets the same renewal back.
#include <openssl/evp.h>

#include <memory>

#include "ca/certificate_delivery.h"
#include "ca/holder_proof.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

namespace {

struct Free {
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

}  // namespace

Outcome answerRenewal(const AuthorityContext& context, AuthorityStore& store, FEDIEXT& request) {
  const FEDIEXT_SIGNED* part = request.signedPart;
  if (part == nullptr || part->body == nullptr ||
      ASN1_INTEGER_get(part->body->type) != FEDI_CT_EXT_REQ) {
    return refuse(kRefuseMalformed, "the renewal request is incomplete");
  }
  unsigned char* raw = nullptr;
  const int length = i2d_FEDIEXT_INFO(part->body, &raw);
  const std::unique_ptr<unsigned char, Free> body(raw);
  if (length <= 0) return refuse(kRefuseMalformed, "the renewal request does not encode");

  SignedClaim claim;
  claim.issuer = part->body->issuer;
  claim.serial = part->body->serialNumber;
  claim.bodyAlgorithm = part->body->signature;
  claim.signatureAlgorithm = part->signatureAlgorithm;
  claim.signature = part->signature;
  claim.signedDer = {body.get(), static_cast<std::size_t>(length)};
  CertificateRecord current;
  CertificatePtr decoded;
  if (auto refusal = proveHolder(context, store, claim, current, decoded)) return *refusal;

  const KeyPtr key(FEDI_X509_get_pubkey(decoded.get()));
  if (!key) return refuse(kRefuseInternal, "a recorded certificate does not decode");
  CertificatePlan plan;
  plan.holder = current.holder;
  plan.notBefore = current.notAfter;
  plan.notAfter = current.notAfter + context.options.lifetimeSeconds;
  plan.renewedFrom = current.serial;
  const FediName subject = fediNameOf(current.holder.sid2, current.holder.sid1);
  CertificateRecord renewal;
  const StoreResult stored = store.issue(
      plan,
      [&](std::int64_t serial) {
        return signCertificate(context.key.get(), context.name, serial, subject, plan.notBefore,
                               plan.notAfter, key.get());
      },
      renewal);
  if (stored != StoreResult::ok) return refuse(kRefuseInternal, "the renewal cannot be issued");
  return deliverBag(context, FEDI_CT_EXT_CERT, renewal);
}

}  // namespace kestrune::ca
