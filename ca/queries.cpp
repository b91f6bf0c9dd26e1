// The directory queries: a certificate by serial number or by holder (6 -> 7), the revocation
// list (8 -> 9) and the authority's own certificate (10 -> 11). Each names the authority as
// issuer; another issuer is refused.
#include "ca/certificate_delivery.h"
#include "ca/record_fields.h"
#include "ca/request_handlers.h"
#include "ca/revocation_list.h"

namespace kestrune::ca {

namespace {

bool ours(const AuthorityContext& context, const X509_NAME* issuer) {
  return issuer != nullptr && X509_NAME_cmp(issuer, context.issuerName.get()) == 0;
}

Outcome wrongIssuer() {
  return refuse(kRefuseIssuer, "the issuer named is not this authority");
}

Outcome found(const AuthorityContext& context, int type, StoreResult result,
              const CertificateRecord& record) {
  switch (result) {
    case StoreResult::ok:
      return deliverBag(context, type, record);
    case StoreResult::notFound:
      return refuse(kRefuseNotFound, "no certificate answers the query");
    case StoreResult::failed:
      break;
  }
  return storeFailure();
}

}  // namespace

// By serial number: that certificate, whatever its state (the revocation list tells). By holder:
// the certificate valid at the date given, or without a date the one in force now. With both,
// the certificate must be the holder's.
Outcome answerCertificateQuery(const AuthorityContext& context, AuthorityStore& store,
                               const FEDI_GETCERT_BODY& query) {
  if (!ours(context, query.issuer)) return wrongIssuer();
  if (query.serialNumber == nullptr && query.subject == nullptr) {
    return refuse(kRefuseMalformed, "the query names neither a serial number nor a holder");
  }
  std::optional<HolderId> holder;
  if (query.subject != nullptr && !(holder = holderOf(query.subject))) {
    return refuse(kRefuseSubject, "the subject named is not O = SID2, CN = SID1");
  }
  CertificateRecord record;
  if (query.serialNumber != nullptr) {
    const auto serial = serialOf(query.serialNumber);
    if (!serial) return refuse(kRefuseNotFound, "no certificate answers the query");
    StoreResult result = store.bySerial(*serial, record);
    if (result == StoreResult::ok && holder && (record.authority || !(record.holder == *holder))) {
      result = StoreResult::notFound;
    }
    return found(context, FEDI_CT_GET_CERT_ANS, result, record);
  }
  if (query.date != nullptr) {
    const auto at = secondsOf(query.date);
    if (!at) return refuse(kRefuseMalformed, "the query's date cannot be read");
    return found(context, FEDI_CT_GET_CERT_ANS, store.validAt(*holder, *at, record), record);
  }
  return found(context, FEDI_CT_GET_CERT_ANS, store.inForce(*holder, context.now(), record),
               record);
}

Outcome answerRevocationListQuery(const AuthorityContext& context, AuthorityStore& store,
                                  const FEDI_GETCRL_BODY& query) {
  if (!ours(context, query.issuer)) return wrongIssuer();
  return revocationListAnswer(context, store, FEDI_CT_GET_CRL_ANS);
}

// The authority's certificate by its serial number (psn), or the one valid at the date, or the
// one in force now. The bag holds that one certificate: the control keeps a one-certificate bag
// as the authority's.
Outcome answerAuthorityKeyQuery(const AuthorityContext& context, AuthorityStore& store,
                                const FEDI_GETCAPK_BODY& query) {
  if (!ours(context, query.issuer)) return wrongIssuer();
  CertificateRecord record;
  if (query.psn != nullptr) {
    const auto serial = serialOf(query.psn);
    if (!serial) return refuse(kRefuseNotFound, "no certificate answers the query");
    StoreResult result = store.bySerial(*serial, record);
    if (result == StoreResult::ok && !record.authority) result = StoreResult::notFound;
    return found(context, FEDI_CT_GET_CAPK_ANS, result, record);
  }
  std::int64_t at = context.now();
  if (query.date != nullptr) {
    const auto date = secondsOf(query.date);
    if (!date) return refuse(kRefuseMalformed, "the query's date cannot be read");
    at = *date;
  }
  return found(context, FEDI_CT_GET_CAPK_ANS, store.authorityCertificate(at, record), record);
}

}  // namespace kestrune::ca
