// Fields of the user's certificate: the RSA key's modulus and exponent, and the two
// identifiers of the issuing authority (CASID1, CASID2).
#include <openssl/core_names.h>

#include "control/cert_internal.h"
#include "control/control_internal.h"

namespace kestrune {
namespace {

// The issuer name holds the authority's O (CASID2) first and its CN (CASID1) second.
constexpr int kCasid1Entry = 1;
constexpr int kCasid2Entry = 0;

}  // namespace

std::optional<std::u16string> control::certKeyPart(ControlState& state, bool modulus) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  const auto certificate = control::firstCertificate(state.userCertificate.get());
  if (!certificate) {
    state.lastErrorCode = +ControlCode::kBagCount;
    return std::nullopt;
  }
  const Ptr<EVP_PKEY> key(FEDI_X509_get_pubkey(certificate.get()));
  BIGNUM* number = nullptr;
  if (!key ||
      EVP_PKEY_get_bn_param(key.get(), modulus ? OSSL_PKEY_PARAM_RSA_N : OSSL_PKEY_PARAM_RSA_E,
                            &number) != 1) {
    state.lastErrorCode = +ControlCode::kNoPublicKey;
    return std::nullopt;
  }
  const Ptr<BIGNUM> owned(number);
  // Upper-case hex in whole bytes: the exponent 65537 reads 010001.
  const Ptr<char> hex(BN_bn2hex(number));
  if (!hex) {
    state.lastErrorCode = +ControlCode::kNoMemory;
    return std::nullopt;
  }
  auto result = toBstr(state, hex.get());
  if (result) state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::optional<std::u16string> control::issuerEntry(ControlState& state, int position) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  const auto certificate = control::firstCertificate(state.userCertificate.get());
  if (!certificate) {
    state.lastErrorCode = +ControlCode::kBagCount;
    return std::nullopt;
  }
  const X509_NAME* issuer = FEDI_X509_get_issuer_name(certificate.get());
  const X509_NAME_ENTRY* entry =
      issuer != nullptr ? X509_NAME_get_entry(issuer, position) : nullptr;
  const ASN1_STRING* value = entry != nullptr ? X509_NAME_ENTRY_get_data(entry) : nullptr;
  if (value == nullptr) return std::nullopt;  // no such entry: no text
  std::string_view bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                         static_cast<std::size_t>(ASN1_STRING_length(value)));
  // The identifier is handed on as a zero-terminated text.
  bytes = bytes.substr(0, bytes.find('\0'));
  auto result = toBstr(state, bytes);
  if (result) state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCModulus() {
  return control::inFrame(*this, [this] { return control::certKeyPart(*this, true); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCPublicExponent() {
  return control::inFrame(*this, [this] { return control::certKeyPart(*this, false); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCASID1() {
  return control::inFrame(*this, [this] { return control::issuerEntry(*this, kCasid1Entry); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCASID2() {
  return control::inFrame(*this, [this] { return control::issuerEntry(*this, kCasid2Entry); });
}

}  // namespace kestrune
