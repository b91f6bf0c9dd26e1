// A provider backed by a PKCS#11 token: what a smart-card provider is on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/cryptoapi/providers/provider_config.h"
#include "platform/linux/cryptoapi/providers/records.h"

namespace kestrune::cryptoapi {

// Opens the entry's module and token and, unless the context is a verification context, the
// container (the token's private RSA key of that name, paired with its public half by CKA_ID;
// an empty name takes the first).
BOOL acquireTokenProvider(HCRYPTPROV* prov, const ProviderEntry& entry, const char* providerName,
                          std::string container, DWORD flags);
std::vector<std::string> tokenContainers(TokenContainer& token);
// Logs the user in with the PIN (a null PIN asks on the terminal), and confirms a container
// chosen before login by its private key's name. False with the last error.
bool tokenLogin(ProviderRecord& provider, const BYTE* pin);
// The X.509 certificate with the same CKA_ID as the container's key.
bool tokenCertificate(TokenContainer& token, Bytes& der);
// CKM_RSA_PKCS with the token's private key over the input (a DigestInfo or a bare hash),
// big-endian out. False with the last error.
bool tokenPrivateOperation(TokenContainer& token, std::uint64_t key, bool sign,
                           std::span<const std::uint8_t> input, Bytes& output);

}  // namespace kestrune::cryptoapi
