// The software provider's container names as file names (key_store.cpp), on arbitrary bytes
// taken both ways. A name escapes to one file name inside the keys folder (no '/', no NUL, not
// "." or "..", nothing but letters, digits, '-', '_', '%' and the ".pem" suffix) and unescapes
// to itself; a folder entry names a container only in the one spelling escaping gives.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_require.h"
#include "platform/linux/cryptoapi/providers/key_store.h"

namespace {

constexpr const char* kTarget = "cryptoapi_container_name_fuzzer";

using kestrune::fuzz::require;
namespace capi = kestrune::cryptoapi;

bool safeFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == ".." || !name.ends_with(".pem"))
    return false;
  name.remove_suffix(4);
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '%';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The bytes as a container name.
  const std::string fileName = capi::containerFileName(bytes);
  if (!fileName.empty()) {
    require(kTarget, safeFileName(fileName), "a container name escapes to an unsafe file name");
    const std::optional<std::string> name = capi::containerFromFileName(fileName);
    require(kTarget, name.has_value() && *name == bytes,
            "an escaped container name does not unescape to itself");
  }

  // The bytes as a file found in the keys folder.
  if (const std::optional<std::string> name = capi::containerFromFileName(bytes)) {
    require(kTarget, capi::containerFileName(*name) == bytes,
            "a file name is taken for a container that escapes to another name");
  }
  return 0;
}
