// Placeholder until the token-backed provider lands: no PKCS#11 module can be opened.
#include "platform/linux/cryptoapi/providers/token_provider.h"

namespace kestrune::cryptoapi {

class TokenContainer {};

BOOL acquireTokenProvider(HCRYPTPROV*, const ProviderEntry&, const char*, std::string, DWORD) {
  return fail(NTE_PROV_DLL_NOT_FOUND);
}
std::vector<std::string> tokenContainers(TokenContainer&) {
  return {};
}
bool tokenLogin(TokenContainer&, const BYTE*) {
  return fail(NTE_FAIL);
}
bool tokenCertificate(TokenContainer&, Bytes&) {
  return fail(NTE_FAIL);
}
bool tokenPrivateOperation(TokenContainer&, std::uint64_t, bool, std::span<const std::uint8_t>,
                           Bytes&) {
  return fail(NTE_FAIL);
}

}  // namespace kestrune::cryptoapi
