// Reading the built-in test authority key.
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <memory>

#include "ca/test_authority_key.h"

namespace kestrune::ca {

namespace {

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

}  // namespace

KeyPtr loadTestAuthorityKey() noexcept {
  const std::unique_ptr<BIO, BioFree> pem(BIO_new_mem_buf(testAuthorityKeyPem(), -1));
  return KeyPtr(pem ? PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace kestrune::ca
