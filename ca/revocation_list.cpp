#include "ca/revocation_list.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <vector>

#include "common/ptr.h"

namespace kestrune::ca {

namespace {

Ptr<ASN1_TIME> timeOf(std::int64_t seconds) {
  return Ptr<ASN1_TIME>(ASN1_TIME_set(nullptr, static_cast<std::time_t>(seconds)));
}

bool addEntry(X509_CRL* crl, const RevokedEntry& entry) {
  Ptr<X509_REVOKED> revoked(X509_REVOKED_new());
  Ptr<ASN1_INTEGER> serial(ASN1_INTEGER_new());
  const Ptr<ASN1_TIME> date = timeOf(entry.revokedAt);
  if (!revoked || !serial || !date || ASN1_INTEGER_set_int64(serial.get(), entry.serial) != 1 ||
      X509_REVOKED_set_serialNumber(revoked.get(), serial.get()) != 1 ||
      X509_REVOKED_set_revocationDate(revoked.get(), date.get()) != 1 ||
      X509_CRL_add0_revoked(crl, revoked.get()) != 1) {
    return false;
  }
  revoked.release();  // the list owns it now
  return true;
}

Ptr<X509_CRL> signedList(const AuthorityContext& context,
                         const std::vector<RevokedEntry>& entries) {
  Ptr<X509_CRL> crl(X509_CRL_new());
  const std::int64_t now = context.now();
  const Ptr<ASN1_TIME> thisUpdate = timeOf(now);
  const Ptr<ASN1_TIME> nextUpdate = timeOf(now + context.options.crlLifetimeSeconds);
  if (!crl || !thisUpdate || !nextUpdate || X509_CRL_set_version(crl.get(), 0) != 1 ||
      X509_CRL_set_issuer_name(crl.get(), context.issuerName.get()) != 1 ||
      X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) != 1 ||
      X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) != 1) {
    return nullptr;
  }
  for (const RevokedEntry& entry : entries) {
    if (!addEntry(crl.get(), entry)) return nullptr;
  }
  if (X509_CRL_sort(crl.get()) != 1 ||
      X509_CRL_sign(crl.get(), context.key.get(), EVP_md5()) <= 0) {
    return nullptr;
  }
  return crl;
}

}  // namespace

Outcome revocationListAnswer(const AuthorityContext& context, AuthorityStore& store, int type) {
  std::vector<RevokedEntry> entries;
  if (!store.revocations(entries)) return storeFailure();
  Ptr<X509_CRL> crl = signedList(context, entries);
  fedi::CrlPtr record(FEDICRL_new());
  if (!crl || !record || ASN1_INTEGER_set(record->second, type) != 1 ||
      ASN1_INTEGER_set_int64(record->third, static_cast<std::int64_t>(entries.size())) != 1) {
    return refuse(kRefuseInternal, "the revocation list cannot be made");
  }
  X509_CRL_free(record->crl);
  record->crl = crl.release();
  return Answer{type, std::move(record)};
}

}  // namespace kestrune::ca
