// A new certificate (request 0, answer 1): the PKCS#10 request inside "CeRt_ReQ" names the
// holder in its subject (O = SID2, CN = SID1), is signed with the key to certify and MACed with
// the pass phrase the holder was enrolled with.
#include <openssl/evp.h>

#include "ca/certificate_delivery.h"
#include "ca/record_fields.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

namespace {

constexpr int kMinKeyBits = 512;
constexpr int kMaxKeyBits = 4096;

}  // namespace

Outcome answerNewCertificate(const AuthorityContext& context, AuthorityStore& store,
                             FEDIREQ& request) {
  if (request.request == nullptr)
    return refuse(kRefuseMalformed, "the request has no PKCS#10 part");
  const auto holder = holderOf(X509_REQ_get_subject_name(request.request));
  if (!holder) {
    return refuse(kRefuseSubject, "the request's subject is not O = SID2, CN = SID1");
  }
  const KeyPtr key(FEDIREQ_get_pubkey(&request));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
      EVP_PKEY_get_bits(key.get()) < kMinKeyBits || EVP_PKEY_get_bits(key.get()) > kMaxKeyBits) {
    return refuse(kRefuseKey, "the request's key is not an RSA key of 512 to 4096 bits");
  }
  if (X509_REQ_verify(request.request, key.get()) != 1) {
    return refuse(kRefuseSignature, "the request is not signed with its own key");
  }
  std::string pass;
  switch (store.passPhrase(*holder, pass)) {
    case StoreResult::ok:
      break;
    case StoreResult::notFound:
      // The same refusal as a wrong MAC: a stranger learns nothing about who is enrolled.
      return refuse(kRefuseHolderOrMac, "the holder is not enrolled or the MAC is wrong");
    case StoreResult::failed:
      return storeFailure();
  }
  if (FEDIREQ_verify(&request, reinterpret_cast<const unsigned char*>(pass.data()), pass.size()) !=
      1) {
    return refuse(kRefuseHolderOrMac, "the holder is not enrolled or the MAC is wrong");
  }

  const std::int64_t now = context.now();
  CertificatePlan plan;
  plan.holder = *holder;
  plan.notBefore = now - context.options.backdateSeconds;
  plan.notAfter = now + context.options.lifetimeSeconds;
  CertificateRecord issued;
  const StoreResult stored = issueFor(context, store, plan, key.get(), issued);
  if (stored != StoreResult::ok) return refuse(kRefuseInternal, "the certificate cannot be issued");
  return deliverBag(context, FEDI_CT_NEW_CERT, issued);
}

}  // namespace kestrune::ca
