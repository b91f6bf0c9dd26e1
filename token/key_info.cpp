// The signing key's description and RSA signing on the token.
#include <algorithm>
#include <bit>

#include "token/state.h"

namespace kestrune::token {

std::int32_t token_GetKeyInfo(TokenKeyInfo* keyInfo, TokenSession* session, std::string_view label,
                              std::int32_t withExponent) {
  if (keyInfo == nullptr) return -1;
  Bytes modulus;
  Bytes exponent;
  const std::uint32_t code =
      p11_GetPublicKeyParts(session, label, &modulus, withExponent != 0 ? &exponent : nullptr);
  if (code != +TokenCode::kTokenOk) return static_cast<std::int32_t>(code);
  keyInfo->session = session;
  const std::size_t labelLength = std::min(label.size(), sizeof keyInfo->label - 1);
  std::fill(std::begin(keyInfo->label), std::end(keyInfo->label), '\0');
  std::copy_n(label.data(), labelLength, keyInfo->label);
  const auto bytes = static_cast<std::uint32_t>(modulus.size());
  const auto leadingZeros =
      modulus.empty() ? 0u : static_cast<std::uint32_t>(std::countl_zero(modulus.front()));
  keyInfo->bits = 8 * bytes - leadingZeros;
  keyInfo->bytes = bytes;
  keyInfo->six = 6;
  return +TokenCode::kTokenOk;
}

std::int32_t token_RsaSign(std::size_t length, const std::uint8_t* data, Bytes& signature,
                           const TokenKeyInfo* keyInfo, std::int32_t /*padding*/) {
  if (keyInfo == nullptr || (data == nullptr && length > 0)) return -1;
  const std::string_view label(
      keyInfo->label, std::find(std::begin(keyInfo->label), std::end(keyInfo->label), '\0') -
                          std::begin(keyInfo->label));
  Bytes result;
  if (p11_Crypt(keyInfo->session, kSign, kRsaPkcs, label, {data, length}, result) !=
      +TokenCode::kTokenOk) {
    return -1;
  }
  signature = std::move(result);
  return static_cast<std::int32_t>(signature.size());
}

}  // namespace kestrune::token
