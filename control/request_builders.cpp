// buildNewRequest, buildExtendRequest, buildRevokeRequest: the DER of a certificate request
// signed with the token's "FEDICA" key pair, and makeNameFromTable for the request subject.
#include "control/request_builders.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

#include <cstring>
#include <limits>

#include "FEDIX509/fedi_req_sign.h"
#include "common/der.h"
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "control/identity_objects.h"
#include "control/request_internal.h"
#include "token/labels.h"

namespace kestrune {
namespace control {

namespace {

// addNameEntries appends one entry per pair to name, in order; false on an unknown attribute or
// memory exhaustion.
bool addNameEntries(X509_NAME* name, std::span<const NameEntry> entries) {
  for (const NameEntry& entry : entries) {
    if (entry.value.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry.value.data());
    const int length = static_cast<int>(entry.value.size());
    // The string type is chosen here rather than by the library's global mask, which would
    // make every value a UTF8String.
    const int type = ASN1_PRINTABLE_type(bytes, length);
    if (X509_NAME_add_entry_by_txt(name, entry.shortName, type, bytes, length, -1, 0) != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

Ptr<X509_NAME> makeNameFromTable(std::span<const NameEntry> entries) {
  Ptr<X509_NAME> name(X509_NAME_new());
  if (!name || !addNameEntries(name.get(), entries)) return nullptr;
  return name;
}

}  // namespace control

namespace {

using fedi::RequestPtr;

constexpr std::string_view kDefaultReason = "Revoke";

// encodeRequest fills der with the record's encoding: 0, 4 for an empty encoding.
template <class T>
std::int32_t encodeRequest(int (*i2d)(const T*, unsigned char**), const T* record,
                           std::vector<std::uint8_t>& der) {
  return toDer(record, i2d, der) ? +ControlCode::kOk : +ControlCode::kMalformedArgument;
}

// replaceName / replaceInteger put a copy of source into *field, freeing what was there.
bool replaceName(X509_NAME** field, const X509_NAME* source) {
  X509_NAME* copy = X509_NAME_dup(source);
  if (copy == nullptr) return false;
  X509_NAME_free(*field);
  *field = copy;
  return true;
}

bool replaceInteger(ASN1_INTEGER** field, const ASN1_INTEGER* source) {
  ASN1_INTEGER* copy = ASN1_INTEGER_dup(source);
  if (copy == nullptr) return false;
  ASN1_INTEGER_free(*field);
  *field = copy;
  return true;
}

}  // namespace

std::int32_t control::buildNewRequest(ControlState& state, const char* pass,
                                      std::vector<std::uint8_t>& der) {
  der.clear();
  token::p11_SetPrivateObjects(0);
  token::Bytes sid1;
  token::Bytes sid2;
  if (token::p11_ReadDataValue(state.session(), token::kSid1Label, sid1) !=
          +token::TokenCode::kTokenOk ||
      token::p11_ReadDataValue(state.session(), token::kSid2Label, sid2) !=
          +token::TokenCode::kTokenOk) {
    return +ControlCode::kReadFailed;
  }
  token::Bytes modulus;
  token::Bytes exponent;
  if (token::p11_GetPublicKeyParts(state.session(), token::kLinkwayPublicKeyLabel, &modulus,
                                   &exponent) != +token::TokenCode::kTokenOk ||
      modulus.empty() || exponent.empty()) {
    return +ControlCode::kTokenKeyUnreadable;
  }
  token::p11_SetPrivateObjects(1);
  token::TokenKeyInfo keyInfo;
  if (token::token_GetKeyInfo(&keyInfo, state.session(), token::kLinkwayPrivateKeyLabel, 0) != 0) {
    return +ControlCode::kSigningKeyMissing;
  }

  // The key goes into the request straight from its two numbers: an EVP_PKEY made from them
  // would only be taken apart again.
  const Ptr<BIGNUM> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  const Ptr<BIGNUM> e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  RequestPtr<FEDIREQ> request(FEDIREQ_new());
  if (!n || !e || !request || X509_REQ_set_version(request->request, 0) != 1)
    return +ControlCode::kNoMemory;
  // The subject is written into the request's own (empty) name rather than copied in, which
  // would encode and decode it again; setting the key below marks the body changed.
  // The token stores a text with a zero byte after it; the text ends at the first zero.
  const std::string organisation = control::textOf(sid2);
  const std::string commonName = control::textOf(sid1);
  const control::NameEntry entries[] = {{"O", organisation}, {"CN", commonName}};
  if (!control::addNameEntries(X509_REQ_get_subject_name(request->request), entries) ||
      fedi::setRsaPublicKey(request.get(), n.get(), e.get()) != 1) {
    return +ControlCode::kNoMemory;
  }

  const auto* passBytes = reinterpret_cast<const unsigned char*>(pass);
  const std::size_t passLength = pass != nullptr ? std::strlen(pass) : 0;
  if (FEDIREQ_sign(request.get(), &keyInfo, passBytes, passLength) != 1)
    return +ControlCode::kNoSignature;
  if (FEDIREQ_verify(request.get(), passBytes, passLength) != 1)
    return +ControlCode::kRequestNotVerified;
  return encodeRequest(&i2d_FEDIREQ, request.get(), der);
}

std::int32_t control::buildExtendRequest(ControlState& state, std::vector<std::uint8_t>& der) {
  der.clear();
  RequestPtr<FEDIEXT> request(FEDIEXT_new());
  if (!request) return +ControlCode::kNoMemory;
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) return code;
  const auto certificate = control::firstCertificate(state.userCertificate.get());
  if (!certificate) return +ControlCode::kBagCount;
  FEDIEXT_INFO* body = request->signedPart->body;
  if (!replaceName(&body->issuer, FEDI_X509_get_issuer_name(certificate.get())) ||
      !replaceInteger(&body->serialNumber, FEDI_X509_get_serialNumber(certificate.get()))) {
    return +ControlCode::kNoMemory;
  }
  token::p11_SetPrivateObjects(1);
  token::TokenKeyInfo keyInfo;
  if (token::token_GetKeyInfo(&keyInfo, state.session(), token::kLinkwayPrivateKeyLabel, 0) != 0) {
    return +ControlCode::kSigningKeyMissing;
  }
  if (FEDIEXT_sign(request.get(), &keyInfo) != 1) return +ControlCode::kNoSignature;
  return encodeRequest(&i2d_FEDIEXT, request.get(), der);
}

std::int32_t control::buildRevokeRequest(ControlState& state, const char* reason,
                                         std::vector<std::uint8_t>& der) {
  der.clear();
  RequestPtr<FEDIREV> request(FEDIREV_new());
  if (!request) return +ControlCode::kNoMemory;
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) return code;
  const auto certificate = control::firstCertificate(state.userCertificate.get());
  if (!certificate) return +ControlCode::kBagCount;
  FEDIREV_INFO* body = request->signedPart->body;
  const ASN1_INTEGER* serial = FEDI_X509_get_serialNumber(certificate.get());
  const std::string_view reasonText = reason != nullptr ? std::string_view(reason) : kDefaultReason;
  if (!replaceName(&body->issuer, FEDI_X509_get_issuer_name(certificate.get())) ||
      !replaceInteger(&body->serialNumber, serial) ||
      !replaceName(&body->subject, FEDI_X509_get_subject_name(certificate.get())) ||
      !replaceInteger(&body->serialNumber2, serial) ||
      reasonText.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      ASN1_OCTET_STRING_set(body->reason, reinterpret_cast<const unsigned char*>(reasonText.data()),
                            static_cast<int>(reasonText.size())) != 1) {
    return +ControlCode::kNoMemory;
  }
  token::p11_SetPrivateObjects(1);
  token::TokenKeyInfo keyInfo;
  if (token::token_GetKeyInfo(&keyInfo, state.session(), token::kLinkwayPrivateKeyLabel, 0) != 0) {
    return +ControlCode::kSigningKeyMissing;
  }
  if (FEDIREV_sign(request.get(), &keyInfo) != 1) return +ControlCode::kNoSignature;
  return encodeRequest(&i2d_FEDIREV, request.get(), der);
}

}  // namespace kestrune
