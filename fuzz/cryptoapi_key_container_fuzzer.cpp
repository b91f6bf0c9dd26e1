// The software provider's container file (key_store.cpp) on arbitrary text: tag lines naming
// a key spec, each followed by a PKCS#8 PEM private key. Nothing in it may crash the reader or
// ask for a pass phrase; the keys it accepts are RSA keys, and written out again they read back
// as the same keys with the same tags.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "fuzz/fuzz_require.h"
#include "platform/linux/cryptoapi/providers/key_store.h"

namespace {

constexpr const char* kTarget = "cryptoapi_key_container_fuzzer";

using kestrune::fuzz::require;
namespace capi = kestrune::cryptoapi;

bool sameKey(const capi::HeldKey& a, const capi::HeldKey& b) {
  if (!a.pkey || !b.pkey) return !a.pkey && !b.pkey;
  return a.exportable == b.exportable && EVP_PKEY_eq(a.pkey.get(), b.pkey.get()) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  capi::HeldKey exchange;
  capi::HeldKey signature;
  const bool read = capi::readContainerText(text, exchange, signature);
  ERR_clear_error();
  if (!read) return 0;
  for (const capi::HeldKey* key : {&exchange, &signature}) {
    require(kTarget, !key->pkey || EVP_PKEY_get_base_id(key->pkey.get()) == EVP_PKEY_RSA,
            "a container key is not an RSA key");
  }

  std::string written;
  require(kTarget, capi::containerText(exchange, signature, written),
          "keys read from a container can't be written to one");
  capi::HeldKey exchangeAgain;
  capi::HeldKey signatureAgain;
  require(kTarget, capi::readContainerText(written, exchangeAgain, signatureAgain),
          "a written container can't be read");
  require(kTarget, sameKey(exchange, exchangeAgain) && sameKey(signature, signatureAgain),
          "a written container reads as other keys");
  OPENSSL_cleanse(written.data(), written.size());
  ERR_clear_error();
  return 0;
}
