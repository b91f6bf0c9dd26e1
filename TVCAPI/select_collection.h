// The lookup's collection of candidates for the selection dialog, and the lookup itself with
// the choice handed in, so the search runs without the dialog's process-wide message.
#pragma once

#include <cstdint>

#include "TVCAPI/tvcapi_internal.h"
#include "platform/cryptoapi.h"

// Duplicated certificate contexts, each one reference owned; grown by doubling.
struct CertCollection {
  DWORD count;
  DWORD capacity;
  PCCERT_CONTEXT* certs;
};

// tvxCAPISelectCertificate shows the selection dialog over the collection (with the process-wide
// dialog message, then discarded). 0 with a new reference in cert; 5005 null collection; 5002;
// 5070 cancelled; 5001 no valid choice or the dialog can't be shown.
std::int32_t tvxCAPISelectCertificate(const CertCollection* collection, PCCERT_CONTEXT* cert);

// The same with the message given (null or empty: none).
std::int32_t tvxCAPISelectFromCollection(const CertCollection* collection, const char* message,
                                         std::uint32_t messageLength, PCCERT_CONTEXT* cert);

using CertificateChooser = std::int32_t (*)(const CertCollection*, PCCERT_CONTEXT*);

// tvxCAPIFindCertificate is the lookup over a store list, giving 0 and one certificate
// reference the caller frees, or the lookup's codes (5005, 5002, 5010 to 5013, and what the
// chooser gives). Nothing is held on failure.
std::int32_t tvxCAPIFindCertificate(const StoreList* stores, const char* subjectSpec,
                                    const char* issuerSpec, std::uint32_t flags,
                                    std::uint32_t keyUsage, CertificateChooser choose,
                                    PCCERT_CONTEXT* cert);

// The time test against now (UTC): 0 inside the validity period, 5011 expired, 5012 not yet
// valid.
std::int32_t tvxCAPICheckTimeValidity(PCCERT_CONTEXT cert, FILETIME* now);
// The key-usage test: 0 when the certificate has every bit of keyUsage or no key-usage
// extension; 5014 when a bit is missing or the extension can't be read.
std::int32_t tvxCAPICheckKeyUsage(PCCERT_CONTEXT cert, std::uint32_t keyUsage);
