// A system store's key-property file (<thumbprint>.json) on arbitrary bytes: it names the
// provider and container a certificate's key is taken from, so nothing in it may crash the
// reader. What it accepts is delivered as CRYPT_KEY_PROV_INFO, and written back it reads as
// the same property and writes the same text again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_require.h"
#include "platform/linux/cryptoapi/certs/key_prov_info.h"

namespace {

constexpr const char* kTarget = "cryptoapi_key_prov_info_fuzzer";

using kestrune::fuzz::require;
namespace capi = kestrune::cryptoapi;

bool sameProperty(const capi::KeyProvInfo& a, const capi::KeyProvInfo& b) {
  return a.container == b.container && a.provider == b.provider && a.provType == b.provType &&
         a.keySpec == b.keySpec && a.flags == b.flags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  capi::KeyProvInfo info;
  if (!capi::keyProvInfoOfJson(text, info)) return 0;

  DWORD length = 0;
  require(kTarget, capi::deliverKeyProvInfo(info, nullptr, &length) == TRUE,
          "an accepted property has no size");
  require(kTarget, length >= sizeof(CRYPT_KEY_PROV_INFO), "the size leaves out the structure");
  std::vector<std::uint64_t> buffer(length / sizeof(std::uint64_t) + 1);
  require(kTarget, capi::deliverKeyProvInfo(info, buffer.data(), &length) == TRUE,
          "an accepted property can't be delivered in the size it gave");
  const auto* delivered = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  require(kTarget,
          delivered->dwKeySpec == info.keySpec && delivered->dwProvType == info.provType &&
              delivered->dwFlags == info.flags,
          "the delivered numbers differ from the file's");

  const std::string written = capi::keyProvInfoJson(info);
  capi::KeyProvInfo again;
  require(kTarget, capi::keyProvInfoOfJson(written, again), "the written property can't be read");
  require(kTarget, sameProperty(info, again), "the written property reads as another");
  require(kTarget, capi::keyProvInfoJson(again) == written,
          "the written property is written differently the second time");
  return 0;
}
