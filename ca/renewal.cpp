// A renewal (request 2 "CeRt_eXt", answer 3): the holder asks, under the key of its current
// certificate, for the certificate that follows it. The renewal carries the same subject and
// key and starts when the current certificate ends, so the control keeps it waiting beside the
// current one. Asking again while it waits gets the same renewal back.
#include "ca/certificate_delivery.h"
#include "ca/holder_proof.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

Outcome answerRenewal(const AuthorityContext& context, AuthorityStore& store, FEDIEXT& request,
                      RequestNote& note) {
  const FEDIEXT_SIGNED* part = request.signedPart;
  if (part == nullptr || part->body == nullptr ||
      ASN1_INTEGER_get(part->body->type) != FEDI_CT_EXT_REQ) {
    return refuse(kRefuseMalformed, "the renewal request is incomplete");
  }
  ProvenCertificate proven;
  auto refusal =
      proveSignedRequest(context, store, *part, part->body->serialNumber, &i2d_FEDIEXT_INFO,
                         "the renewal request does not encode", proven, note);
  if (refusal) return *refusal;

  const CertificateRecord& current = proven.record;
  CertificatePlan plan;
  plan.holder = current.holder;
  plan.notBefore = current.notAfter;
  plan.notAfter = current.notAfter + context.options.lifetimeSeconds;
  plan.renewedFrom = current.serial;
  CertificateRecord renewal;
  const StoreResult stored = issueFor(context, store, plan, proven.key.get(), renewal);
  switch (stored) {
    case StoreResult::ok:
      break;
    case StoreResult::notFound:  // revoked by a request served meanwhile
      return refuse(kRefuseRevoked, "the certificate named is revoked");
    case StoreResult::failed:
      return refuse(kRefuseInternal, "the renewal cannot be issued");
  }
  note.serial = renewal.serial;
  return deliverBag(context, FEDI_CT_EXT_CERT, renewal);
}

}  // namespace kestrune::ca
