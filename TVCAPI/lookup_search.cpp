// The certificate lookup: every store, every alternative of the subject specification, the
// issuer, time and key-usage tests, then the automatic choice by dates or the user's choice.
#include <cstdlib>
#include <string_view>

#include "TVCAPI/name_spec.h"
#include "TVCAPI/select_collection.h"
#include "TVCAPI/tvcapi.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kFirstCapacity = 8;

std::uint64_t ticksOf(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// Releases every duplicate the collection holds and its array.
class Collection {
 public:
  Collection() = default;
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  ~Collection() {
    for (DWORD i = 0; i < c_.count; ++i) CertFreeCertificateContext(c_.certs[i]);
    std::free(c_.certs);
  }

  bool reserve() {
    c_.certs = static_cast<PCCERT_CONTEXT*>(std::malloc(kFirstCapacity * sizeof(PCCERT_CONTEXT)));
    if (c_.certs == nullptr) return false;
    c_.capacity = kFirstCapacity;
    return true;
  }

  // add gives 0 (also for a certificate already collected) or 5002.
  std::int32_t add(PCCERT_CONTEXT cert) {
    for (DWORD i = 0; i < c_.count; ++i) {
      if (CertCompareCertificate(kEncoding, c_.certs[i]->pCertInfo, cert->pCertInfo)) {
        return TVCAPI_OK;
      }
    }
    if (c_.count == c_.capacity) {
      if (c_.capacity > 0x3FFFFFFF / sizeof(PCCERT_CONTEXT)) return TVCAPI_NO_MEMORY;
      auto* grown = static_cast<PCCERT_CONTEXT*>(
          std::realloc(c_.certs, 2 * c_.capacity * sizeof(PCCERT_CONTEXT)));
      if (grown == nullptr) return TVCAPI_NO_MEMORY;
      c_.certs = grown;
      c_.capacity *= 2;
    }
    PCCERT_CONTEXT copy = CertDuplicateCertificateContext(cert);
    if (copy == nullptr) return TVCAPI_NO_MEMORY;
    c_.certs[c_.count++] = copy;
    return TVCAPI_OK;
  }

  const CertCollection& get() const { return c_; }

 private:
  CertCollection c_{0, 0, nullptr};
};

// The certificate chosen so far by dates; one reference owned.
class Held {
 public:
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (cert_ != nullptr) CertFreeCertificateContext(cert_);
  }

  // offer keeps the candidate when nothing is held, or when its date is later (earlier with
  // 0x8) than the held one's; equal dates keep the first found.
  std::int32_t offer(PCCERT_CONTEXT cert, std::uint32_t flags) {
    if (cert_ != nullptr) {
      const auto date = [flags](PCCERT_CONTEXT c) {
        return ticksOf((flags & TVCAPI_BY_NOT_AFTER) != 0 ? c->pCertInfo->NotAfter
                                                          : c->pCertInfo->NotBefore);
      };
      const bool better =
          (flags & TVCAPI_EARLIEST) != 0 ? date(cert) < date(cert_) : date(cert) > date(cert_);
      if (!better) return TVCAPI_OK;
    }
    PCCERT_CONTEXT copy = CertDuplicateCertificateContext(cert);
    if (copy == nullptr) return TVCAPI_NO_MEMORY;
    if (cert_ != nullptr) CertFreeCertificateContext(cert_);
    cert_ = copy;
    return TVCAPI_OK;
  }

  PCCERT_CONTEXT release() {
    PCCERT_CONTEXT out = cert_;
    cert_ = nullptr;
    return out;
  }
  bool empty() const { return cert_ == nullptr; }

 private:
  PCCERT_CONTEXT cert_ = nullptr;
};

struct TimeFailures {
  bool expired = false;
  bool notYetValid = false;

  std::int32_t nothingFound() const {
    if (expired && notYetValid) return TVCAPI_ONLY_OUTSIDE_VALIDITY;
    if (expired) return TVCAPI_ONLY_EXPIRED;
    if (notYetValid) return TVCAPI_ONLY_NOT_YET_VALID;
    return TVCAPI_NOT_FOUND;
  }
};

}  // namespace

std::int32_t tvxCAPICheckTimeValidity(PCCERT_CONTEXT cert, FILETIME* now) {
  const LONG position = CertVerifyTimeValidity(now, cert->pCertInfo);
  if (position > 0) return TVCAPI_ONLY_EXPIRED;
  if (position < 0) return TVCAPI_ONLY_NOT_YET_VALID;
  return TVCAPI_OK;
}

std::int32_t tvxCAPICheckKeyUsage(PCCERT_CONTEXT cert, std::uint32_t keyUsage) {
  BYTE usage[4] = {0, 0, 0, 0};
  SetLastError(0);
  if (!CertGetIntendedKeyUsage(kEncoding, cert->pCertInfo, usage, sizeof usage)) {
    return GetLastError() == 0 ? TVCAPI_OK : TVCAPI_NO_MATCH;
  }
  const std::uint32_t bits = usage[0] | (std::uint32_t{usage[1]} << 8) |
                             (std::uint32_t{usage[2]} << 16) | (std::uint32_t{usage[3]} << 24);
  return (bits & keyUsage) == keyUsage ? TVCAPI_OK : TVCAPI_NO_MATCH;
}

std::int32_t tvxCAPIFindCertificate(const StoreList* stores, const char* subjectSpec,
                                    const char* issuerSpec, std::uint32_t flags,
                                    std::uint32_t keyUsage, CertificateChooser choose,
                                    PCCERT_CONTEXT* cert) {
  if (stores == nullptr || cert == nullptr) return TVCAPI_BAD_ARGUMENT;
  const bool collecting = (flags & TVCAPI_CHOOSE) != 0;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  Collection collection;
  if (collecting && !collection.reserve()) {
    tvxCAPIDebugMessage("%s:%d:\n%s:%s", "TVCAPILib", __LINE__, "tvxCAPIGetCertificate",
                        "malloc NULL");
    return TVCAPI_NO_MEMORY;
  }
  const std::string_view subjects = subjectSpec != nullptr ? subjectSpec : "";
  const bool issuerTest = issuerSpec != nullptr && issuerSpec[0] != '\0';
  const DWORD storeCount = stores->count < kStoreListSlots ? stores->count : kStoreListSlots;
  Held held;
  TimeFailures timeFailures;
  // Without any alternative, one pass with no subject condition.
  std::size_t position = 0;
  std::string_view alternative;
  bool more = tvxCAPINextAlternative(subjects, position, alternative);
  for (bool first = true; more || first; first = false) {
    for (DWORD s = 0; s < storeCount; ++s) {
      for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(stores->stores[s], nullptr); c != nullptr;
           c = CertEnumCertificatesInStore(stores->stores[s], c)) {
        if (tvxCAPIValidateCertName(c, alternative, flags, NameSide::subject) != TVCAPI_OK) {
          continue;
        }
        if (issuerTest && tvxCAPIValidateCertIssuerList(c, issuerSpec, flags) != TVCAPI_OK) {
          continue;
        }
        if ((flags & TVCAPI_VALID_NOW) != 0) {
          const std::int32_t time = tvxCAPICheckTimeValidity(c, &now);
          timeFailures.expired |= time == TVCAPI_ONLY_EXPIRED;
          timeFailures.notYetValid |= time == TVCAPI_ONLY_NOT_YET_VALID;
          if (time != TVCAPI_OK) continue;
        }
        if (keyUsage != 0 && tvxCAPICheckKeyUsage(c, keyUsage) != TVCAPI_OK) continue;
        const std::int32_t rc = collecting ? collection.add(c) : held.offer(c, flags);
        if (rc != TVCAPI_OK) {
          CertFreeCertificateContext(c);
          return rc;
        }
      }
    }
    more = more && tvxCAPINextAlternative(subjects, position, alternative);
  }
  if (collecting ? collection.get().count == 0 : held.empty()) return timeFailures.nothingFound();
  if (!collecting) {
    *cert = held.release();
    return TVCAPI_OK;
  }
  const CertCollection& found = collection.get();
  if ((flags & TVCAPI_CHOOSE_TAKE_SINGLE) != 0 && found.count == 1) {
    PCCERT_CONTEXT only = CertDuplicateCertificateContext(found.certs[0]);
    if (only == nullptr) return TVCAPI_NO_MEMORY;
    *cert = only;
    return TVCAPI_OK;
  }
  if (choose == nullptr) return TVCAPI_FAILED;
  return choose(&found, cert);
}
