// One certificate of a system store as `kestrune store list` shows it, read through CryptoAPI
// only, so the same code reads wincrypt's stores on Windows.
#pragma once

#include <optional>
#include <string>

#include "platform/cryptoapi.h"

namespace kestrune::host {

// thumbprintOf returns the certificate's SHA-1 in 40 uppercase hexadecimal digits; empty when
// CryptoAPI gives no hash.
std::string thumbprintOf(PCCERT_CONTEXT context);

// StoreEntry is what `store list` shows of one certificate, each text fit for one line
// (control characters as \xNN).
struct StoreEntry {
  std::string thumbprint;
  std::string subject;  // CertNameToStrA's X.500 text, in UTF-8
  std::string issuer;
  std::string notAfter;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  // The key-provider property, when the certificate has one.
  struct Key {
    std::string provider;
    std::string container;
    unsigned keySpec = 0;
  };
  std::optional<Key> key;
};

// readStoreEntry reads a certificate's entry.
StoreEntry readStoreEntry(PCCERT_CONTEXT context);

// describeCertificate returns the columns after the store's name, separated by tabs: the
// thumbprint, the subject and the issuer (CertNameToStrA's X.500 text, in UTF-8), notAfter
// (UTC, "YYYY-MM-DDTHH:MM:SSZ") and, when the certificate has a key-provider property, the
// provider, the container and "keySpec N". Control characters in a text come out as \xNN.
std::string describeCertificate(PCCERT_CONTEXT context);

// errorText returns a CryptoAPI last-error code as "0x80092004" with a short meaning when
// one is known.
std::string errorText(DWORD error);

}  // namespace kestrune::host
