// CryptoAPI's RSA key blobs (PUBLICKEYBLOB, PRIVATEKEYBLOB) to and from OpenSSL keys.
#pragma once

#include <span>

#include "platform/linux/cryptoapi/providers/records.h"

namespace kestrune::cryptoapi {

// The blob of the key: public, or private (which the key must hold). Empty on failure.
Bytes exportKeyBlob(const EVP_PKEY* pkey, ALG_ID algorithm, bool privateBlob);

struct ImportedKey {
  Ptr<EVP_PKEY> pkey;
  ALG_ID algorithm = 0;
  bool isPrivate = false;
};
// Reads a blob from hostile bytes; false with NTE_BAD_DATA, NTE_BAD_KEY, NTE_BAD_TYPE,
// NTE_BAD_ALGID or NTE_BAD_LEN as the last error.
bool importKeyBlob(std::span<const std::uint8_t> blob, ImportedKey& key);

}  // namespace kestrune::cryptoapi
