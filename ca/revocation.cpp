// A revocation (request 4 "CeRt_rEv", answer 5): the holder revokes its current certificate
// under that certificate's key, and gets the revocation list that now names it. A renewal
// waiting to follow the certificate carries the same key and is revoked with it.
#include "ca/holder_proof.h"
#include "ca/request_handlers.h"
#include "ca/revocation_list.h"

namespace kestrune::ca {

namespace {

// consistent: the optional [0] serial and [1] subject, when given, say what the rest says.
std::optional<Refusal> inconsistency(const FEDIREV_INFO& body, FEDI_X509* certificate) {
  if (body.serialNumber != nullptr &&
      ASN1_INTEGER_cmp(body.serialNumber, body.serialNumber2) != 0) {
    return Refusal{kRefuseMalformed, "the request names two different serial numbers"};
  }
  if (body.subject != nullptr &&
      X509_NAME_cmp(body.subject, FEDI_X509_get_subject_name(certificate)) != 0) {
    return Refusal{kRefuseSubject, "the subject named is not the certificate's"};
  }
  return std::nullopt;
}

}  // namespace

Outcome answerRevocation(const AuthorityContext& context, AuthorityStore& store, FEDIREV& request,
                         RequestNote& note) {
  const FEDIREV_SIGNED* part = request.signedPart;
  if (part == nullptr || part->body == nullptr || part->body->serialNumber2 == nullptr ||
      ASN1_INTEGER_get(part->body->type) != FEDI_CT_REV_REQ) {
    return refuse(kRefuseMalformed, "the revocation request is incomplete");
  }
  ProvenCertificate proven;
  auto refusal =
      proveSignedRequest(context, store, *part, part->body->serialNumber2, &i2d_FEDIREV_INFO,
                         "the revocation request does not encode", proven, note);
  if (refusal) return *refusal;
  if (auto refusal = inconsistency(*part->body, proven.decoded.get())) return *refusal;

  const ASN1_OCTET_STRING* reason = part->body->reason;
  std::vector<std::uint8_t> reasonBytes;
  if (reason != nullptr && reason->length > 0) {
    reasonBytes.assign(reason->data, reason->data + reason->length);
  }
  switch (store.revoke(proven.record.serial, context.now(), reasonBytes)) {
    case StoreResult::ok:
      note.serial = proven.record.serial;
      return revocationListAnswer(context, store, FEDI_CT_REV_CRL);
    case StoreResult::notFound:  // revoked by a request served meanwhile
      return refuse(kRefuseRevoked, "the certificate named is revoked");
    case StoreResult::failed:
      break;
  }
  return storeFailure();
}

}  // namespace kestrune::ca
