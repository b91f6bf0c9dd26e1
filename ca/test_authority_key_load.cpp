// Reading the built-in test authority key.
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <memory>

#include "common/ptr.h"

#include "ca/test_authority_key.h"

namespace kestrune::ca {

KeyPtr loadTestAuthorityKey() noexcept {
  const Ptr<BIO> pem(BIO_new_mem_buf(testAuthorityKeyPem(), -1));
  return KeyPtr(pem ? PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace kestrune::ca
