// Whether a certificate belongs to the token: its RSA key against the token's key pair.
#include <openssl/core_names.h>

#include "control/cert_internal.h"
#include "control/control_internal.h"

namespace kestrune {
namespace {

Ptr<BIGNUM> keyNumber(const EVP_PKEY* key, const char* name) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) return nullptr;
  return Ptr<BIGNUM>(number);
}

Ptr<BIGNUM> tokenNumber(const token::Bytes& bytes) {
  return Ptr<BIGNUM>(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

}  // namespace

std::int32_t control::keyMatchesToken(ControlState& state, std::string_view privateLabel,
                                      std::string_view publicLabel, FEDI_X509* certificate) {
  const Ptr<EVP_PKEY> key(FEDI_X509_get_pubkey(certificate));
  if (!key) return -1;
  const auto certModulus = keyNumber(key.get(), OSSL_PKEY_PARAM_RSA_N);
  const auto certExponent = keyNumber(key.get(), OSSL_PKEY_PARAM_RSA_E);
  if (!certModulus || !certExponent) return -1;

  // The public key tells modulus and exponent; a card that hides it still shows the private
  // key's modulus after the login.
  token::Bytes modulus;
  token::Bytes exponent;
  bool haveExponent = true;
  token::p11_SetPrivateObjects(0);
  if (token::p11_GetPublicKeyParts(state.session(), publicLabel, &modulus, &exponent) !=
      +token::TokenCode::kTokenOk) {
    haveExponent = false;
    token::p11_SetPrivateObjects(1);
    if (token::p11_GetModulus(state.session(), privateLabel, modulus) !=
        +token::TokenCode::kTokenOk)
      return -1;
  }
  const auto tokenModulus = tokenNumber(modulus);
  if (!tokenModulus) return -1;
  if (BN_cmp(certModulus.get(), tokenModulus.get()) != 0) return 1;
  if (haveExponent) {
    const auto tokenExponent = tokenNumber(exponent);
    if (!tokenExponent) return -1;
    if (BN_cmp(certExponent.get(), tokenExponent.get()) != 0) return 1;
  }
  return 0;
}

}  // namespace kestrune
