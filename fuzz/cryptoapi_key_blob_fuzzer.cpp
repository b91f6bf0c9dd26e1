// CryptImportKey on arbitrary bytes: key blobs come from files and callers. A blob either is
// refused with a last error, or imports as a key whose public blob exports, re-imports and
// exports again unchanged.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_require.h"
#include "platform/cryptoapi.h"

namespace {

constexpr const char* kTarget = "cryptoapi_key_blob_fuzzer";

using kestrune::fuzz::require;

std::vector<BYTE> publicBlob(HCRYPTKEY key) {
  DWORD length = 0;
  require(kTarget, CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length) == TRUE,
          "an imported key has no public blob size");
  std::vector<BYTE> blob(length);
  require(kTarget, CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &length) == TRUE,
          "an imported key does not export its public blob");
  blob.resize(length);
  return blob;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An ephemeral context: nothing a blob does reaches the disk.
  static HCRYPTPROV prov = [] {
    HCRYPTPROV context = 0;
    CryptAcquireContextA(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    return context;
  }();
  std::vector<BYTE> blob(data, data + size);  // exactly `size` bytes, so overreads are caught
  HCRYPTKEY key = 0;
  SetLastError(0);
  if (CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key) != TRUE) {
    require(kTarget, GetLastError() != 0, "a refused blob left no last error");
    return 0;
  }
  std::vector<BYTE> first = publicBlob(key);
  HCRYPTKEY again = 0;
  require(
      kTarget,
      CryptImportKey(prov, first.data(), static_cast<DWORD>(first.size()), 0, 0, &again) == TRUE,
      "an exported public blob does not import");
  require(kTarget, publicBlob(again) == first, "a public blob changes on a second round");
  CryptDestroyKey(again);
  CryptDestroyKey(key);
  return 0;
}
