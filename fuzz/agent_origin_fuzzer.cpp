// An allow-list origin from any text: no crash, and a canonical origin is its own canonical
// form, with nothing after the host but a port.
#include <cstdint>
#include <string>
#include <string_view>

#include "agent/origin.h"
#include "fuzz/edifact_signer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto origin = kestrune::agent::canonicalOrigin(text, why);
  if (!origin) return 0;
  std::string again;
  kestrune::fuzz::require(kestrune::agent::canonicalOrigin(*origin, again) == origin,
                          "a canonical origin is not its own canonical form");
  kestrune::fuzz::require(
      origin->find_first_of("/?#@", origin->find("://") + 3) == std::string::npos,
      "a canonical origin carries more than scheme, host and port");
  return 0;
}
