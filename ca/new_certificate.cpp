// A new certificate (request 0, answer 1): the PKCS#10 request inside "CeRt_ReQ" names the
// holder in its subject (O = SID2, CN = SID1), is signed with the key to certify and MACed with
// the pass phrase the holder was enrolled with.
//
// The exchange carries no nonce, so a captured request can be sent again; the authority holds
// the line itself. An enrolment's pass phrase admits one new certificate; a key once revoked is
// never certified again; a key with a certificate in good standing gets no second one (renewal
// is the way); and wrong MACs are counted per holder, so that after a few the pass phrase
// admits nothing until the holder is enrolled again.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "ca/certificate_delivery.h"
#include "ca/record_fields.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

namespace {

constexpr int kMinKeyBits = 512;
constexpr int kMaxKeyBits = 4096;

// The holder's record holds its pass phrase: wiped when the request is done with it.
struct WipedHolder {
  HolderRecord record;
  ~WipedHolder() {
    if (!record.pass.empty()) OPENSSL_cleanse(record.pass.data(), record.pass.size());
  }
};

// refusePassSpent: the pass phrase has admitted its one certificate. Checked early, so that a
// replayed request costs no signature, and again where the certificate is issued.
Outcome refusePassSpent() {
  return refuse(kRefuseEnrolAgain,
                "the pass phrase has admitted a certificate already: the holder must be "
                "enrolled again");
}

Outcome refuseUnknownOrWrongMac() {
  // The same refusal for both: a stranger learns nothing about who is enrolled.
  return refuse(kRefuseHolderOrMac, "the holder is not enrolled or the MAC is wrong");
}

}  // namespace

Outcome answerNewCertificate(const AuthorityContext& context, AuthorityStore& store,
                             FEDIREQ& request, RequestNote& note) {
  if (request.request == nullptr)
    return refuse(kRefuseMalformed, "the request has no PKCS#10 part");
  const auto holder = holderOf(X509_REQ_get_subject_name(request.request));
  if (!holder) {
    return refuse(kRefuseSubject, "the request's subject is not O = SID2, CN = SID1");
  }
  note.holder = *holder;
  const KeyPtr key(FEDIREQ_get_pubkey(&request));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
      EVP_PKEY_get_bits(key.get()) < kMinKeyBits || EVP_PKEY_get_bits(key.get()) > kMaxKeyBits) {
    return refuse(kRefuseKey, "the request's key is not an RSA key of 512 to 4096 bits");
  }
  if (FEDIREQ_verify_signature(&request) != 1) {
    return refuse(kRefuseSignature, "the request is not signed with its own key");
  }
  WipedHolder enrolled;
  switch (store.holder(*holder, enrolled.record)) {
    case StoreResult::ok:
      break;
    case StoreResult::notFound:
      return refuseUnknownOrWrongMac();
    case StoreResult::failed:
      return storeFailure();
  }
  // Checked before the MAC, so that a locked holder's pass phrase cannot be guessed on.
  if (enrolled.record.macFailures >= kMaxMacFailures) {
    return refuse(kRefuseEnrolAgain,
                  "too many wrong MACs were made for this holder: it must be enrolled again");
  }
  const std::string& pass = enrolled.record.pass;
  if (FEDIREQ_verify(&request, reinterpret_cast<const unsigned char*>(pass.data()), pass.size()) !=
      1) {
    if (!store.recordMacFailure(*holder)) return storeFailure();
    return refuseUnknownOrWrongMac();
  }
  if (enrolled.record.passSpent) {
    return refusePassSpent();
  }

  const std::int64_t now = context.now();
  CertificatePlan plan;
  plan.holder = *holder;
  plan.notBefore = now - context.options.backdateSeconds;
  plan.notAfter = now + context.options.lifetimeSeconds;
  CertificateRecord issued;
  switch (issueNewFor(context, store, plan, pass, key.get(), issued)) {
    case NewCertificateResult::ok:
      note.serial = issued.serial;
      return deliverBag(context, FEDI_CT_NEW_CERT, issued);
    case NewCertificateResult::passSpent:  // spent by a request served meanwhile
      return refusePassSpent();
    case NewCertificateResult::keyRevoked:
      return refuse(kRefuseRevoked,
                    "a certificate of this key was revoked: it is not certified "
                    "again");
    case NewCertificateResult::keyCertified:
      return refuse(kRefuseKeyCertified,
                    "this key has a certificate in good standing: renew that one instead");
    case NewCertificateResult::failed:
      break;
  }
  return refuse(kRefuseInternal, "the certificate cannot be issued");
}

}  // namespace kestrune::ca
