// The provider file's reader on arbitrary bytes: the file is the user's, but nothing in it may
// crash the reader, and an entry it accepts has a module name of bounded, zero-free text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_require.h"
#include "platform/linux/cryptoapi/providers/provider_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr const char* kTarget = "cryptoapi_provider_file_fuzzer";
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view name : {"Card", "", "Microsoft Base Cryptographic Provider v1.0"}) {
    auto entry = kestrune::cryptoapi::findProviderEntry(text, name);
    if (!entry) continue;
    kestrune::fuzz::require(kTarget,
                            !entry->module.empty() && entry->module.size() <= 4096 &&
                                entry->module.find('\0') == std::string::npos,
                            "an accepted entry has an unusable module name");
  }
  return 0;
}
