// TVCAPI's RSA key importers on arbitrary DER: the blob builders first (what builds a blob
// must write back as DER that builds the same blob), then the imports through the software
// provider's containers, in a key folder of the fuzzer's own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "TVCAPI/core_internal.h"
#include "TVCAPI/rsa_key_blob.h"
#include "fuzz/fuzz_require.h"

namespace {

constexpr const char* kTarget = "tvcapi_rsa_key_import_fuzzer";

using kestrune::fuzz::require;

using Bytes = std::vector<std::uint8_t>;

// The blob of DER, or empty.
Bytes blobOf(const Bytes& der, bool isPrivate) {
  std::uint8_t* blob = nullptr;
  std::size_t length = 0;
  const bool built = isPrivate ? tvxCAPIDerToPrivateBlob(der.data(), der.size(), &blob, &length)
                               : tvxCAPIDerToPublicBlob(der.data(), der.size(), &blob, &length);
  if (!built) {
    require(kTarget, blob == nullptr, "a refused DER left a blob");
    return {};
  }
  Bytes out(blob, blob + length);
  std::free(blob);
  return out;
}

void checkBlobRoundTrip(const Bytes& der, bool isPrivate) {
  const Bytes blob = blobOf(der, isPrivate);
  if (blob.empty()) return;
  auto write = isPrivate ? tvxCAPIPrivateBlobToDer : tvxCAPIPublicBlobToDer;
  const std::int32_t size = write(blob.data(), blob.size(), nullptr, 0);
  require(kTarget, size > 0, "a built blob does not write as DER");
  Bytes again(static_cast<std::size_t>(size));
  require(kTarget, write(blob.data(), blob.size(), again.data(), again.size()) == size,
          "the DER's size changed between asking and writing");
  require(kTarget, blobOf(again, isPrivate) == blob, "blob to DER to blob changed the blob");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string folder = "/tmp/tvcapi-key-import-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) std::abort();
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  setenv("KESTRUNE_MACHINE_STORES", folder.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes der(data, data + size);  // exactly `size` bytes, so overreads are caught
  checkBlobRoundTrip(der, true);
  checkBlobRoundTrip(der, false);
  const auto length = static_cast<std::uint32_t>(size);
  if (TVCAPIKeyRecord* key = ImportRSAPrivateKeyDER(der.data(), length)) {
    require(kTarget, !blobOf(der, true).empty(), "a key imported from DER that builds no blob");
    tvxCAPIReleaseKeyRecord(key);
  }
  if (TVCAPIKeyRecord* key = ImportRSAPublicKeyInfoDER(der.data(), length)) {
    require(kTarget, ExportRSAPublicKeyInfoDER(key, nullptr, 0) > 0,
            "an imported public key does not export");
    tvxCAPIReleaseKeyRecord(key);
  }
  return 0;
}
