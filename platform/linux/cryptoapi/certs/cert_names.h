// A certificate's issuer and subject as its DER holds them, read without OpenSSL's name
// decoder, which refuses attribute values that are no directory string (an INTEGER, an OCTET
// STRING, a VisibleString) where CryptoAPI keeps them (CERT_RDN_ENCODED_BLOB and the like).
#pragma once

#include <optional>

#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

struct CertNames {
  ByteView issuer;  // the whole Name element of each
  ByteView subject;
};

// certNamesOf finds the names in a certificate's DER (BER's indefinite lengths taken);
// nullopt when the structure around them is malformed.
std::optional<CertNames> certNamesOf(ByteView cert);

// withEmptyNames is the certificate with both names written as empty Names, for OpenSSL to
// read the other fields of; empty when the structure is malformed. Its signature no longer
// matches: it serves parsing only.
Bytes withEmptyNames(ByteView cert);

}  // namespace kestrune::cryptoapi
