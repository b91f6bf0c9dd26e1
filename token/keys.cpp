// RSA key pairs: generation on the token and reading the public parts.
#include <array>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::setEntry;
using detail::tokenState;

constexpr std::uint32_t kLargestModulusBits = 2048;
constexpr std::array<CK_BYTE, 3> kPublicExponent = {0x01, 0x00, 0x01};  // 65537
// The identifier both halves of every pair carry.
constexpr std::array<CK_BYTE, 19> kKeyPairId = {'9', '6', '9', '5', '8', '3', '9', '5', '0', '0',
                                                '0', '1', 'L', 'I', 'N', 'K', 'W', 'A', 'Y'};

bool refusesAttribute(CK_RV rv) {
  return rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_VALUE_INVALID ||
         rv == CKR_TEMPLATE_INCONSISTENT;
}

std::uint32_t labelFree(TokenSession* session, std::uint32_t privateFlag, std::string_view label) {
  AttributeTemplate tmpl;
  p11_LabelTemplate(privateFlag, label, tmpl);
  return detail::findNone(session, tmpl, 3);
}

std::uint32_t generateKeyPair(TokenSession* session, std::string_view publicLabel,
                              std::string_view privateLabel, std::uint32_t modulusBits) {
  const std::uint32_t privateObjects = tokenState.privateObjects;
  if (auto code = labelFree(session, privateObjects == 0 ? 1 : 0, publicLabel)) return code;
  if (auto code = labelFree(session, privateObjects, privateLabel)) return code;

  const CK_ULONG bits = modulusBits;
  const CK_BBOOL* const t = &detail::kTrue;
  constexpr CK_ULONG b = sizeof(CK_BBOOL);
  AttributeTemplate publicTemplate;
  std::size_t np = setEntry(publicTemplate, 0, CKA_TOKEN, t, b);
  np = setEntry(publicTemplate, np, CKA_PRIVATE,
                privateObjects == 0 ? &detail::kTrue : &detail::kFalse, b);
  np = setEntry(publicTemplate, np, CKA_LABEL, publicLabel.data(),
                static_cast<CK_ULONG>(publicLabel.size()));
  np = setEntry(publicTemplate, np, CKA_ENCRYPT, t, b);
  np = setEntry(publicTemplate, np, CKA_VERIFY, t, b);
  np = setEntry(publicTemplate, np, CKA_WRAP, t, b);
  np = setEntry(publicTemplate, np, CKA_VERIFY_RECOVER, t, b);
  np = setEntry(publicTemplate, np, CKA_MODULUS_BITS, &bits, sizeof bits);
  np = setEntry(publicTemplate, np, CKA_PUBLIC_EXPONENT, kPublicExponent.data(),
                kPublicExponent.size());
  np = setEntry(publicTemplate, np, CKA_ID, kKeyPairId.data(), kKeyPairId.size());

  AttributeTemplate privateTemplate;
  std::size_t nk = setEntry(privateTemplate, 0, CKA_TOKEN, t, b);
  nk = setEntry(privateTemplate, nk, CKA_PRIVATE,
                privateObjects == 1 ? &detail::kTrue : &detail::kFalse, b);
  nk = setEntry(privateTemplate, nk, CKA_LABEL, privateLabel.data(),
                static_cast<CK_ULONG>(privateLabel.size()));
  nk = setEntry(privateTemplate, nk, CKA_SENSITIVE, t, b);
  nk = setEntry(privateTemplate, nk, CKA_DECRYPT, t, b);
  nk = setEntry(privateTemplate, nk, CKA_SIGN, t, b);
  nk = setEntry(privateTemplate, nk, CKA_UNWRAP, t, b);
  nk = setEntry(privateTemplate, nk, CKA_SIGN_RECOVER, t, b);
  nk = setEntry(privateTemplate, nk, CKA_ID, kKeyPairId.data(), kKeyPairId.size());
  // The key never leaves the token. Left unsaid, each module's default decides, and some
  // default to extractable: C_WrapKey would then take the key off the card. Kept last so the
  // retry below can drop it.
  nk = setEntry(privateTemplate, nk, CKA_EXTRACTABLE, &detail::kFalse, b);

  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  const auto generate = [&](std::size_t privateCount) {
    return detail::call(detail::entryPoints().C_GenerateKeyPair, detail::sessionHandle(session),
                        &mechanism, publicTemplate.data(), static_cast<CK_ULONG>(np),
                        privateTemplate.data(), static_cast<CK_ULONG>(privateCount), &publicKey,
                        &privateKey);
  };
  CK_RV rv = generate(nk);
  // An older module that doesn't know the attribute, or won't take it on generation, still
  // makes the pair it always made.
  if (refusesAttribute(rv)) rv = generate(nk - 1);
  if (rv != CKR_OK) return +TokenCode::kCryptFailed;
  detail::objectHandles[0] = publicKey;
  detail::objectHandles[1] = privateKey;
  return +TokenCode::kTokenOk;
}

}  // namespace

std::uint32_t p11_GenerateKeyPair(TokenSession* session, std::string_view publicLabel,
                                  std::string_view privateLabel, std::uint32_t modulusBits) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (modulusBits > kLargestModulusBits) return +TokenCode::kModulusTooLarge;
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(detail::entryPoints().C_GenerateKeyPair)) {
    return code;
  }
  return generateKeyPair(session, publicLabel, privateLabel, modulusBits);
}

std::uint32_t p11_GetPublicKeyParts(TokenSession* session, std::string_view label, Bytes* modulus,
                                    Bytes* exponent) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (auto code = detail::requireSearch()) return code;
  if (auto code = detail::requireEntryPoints(detail::entryPoints().C_GetAttributeValue)) {
    return code;
  }
  AttributeTemplate tmpl;
  p11_LabelTemplate(tokenState.privateObjects, label, tmpl);
  if (auto code = detail::findExactlyOne(session, tmpl, 3)) return code;
  std::array<detail::AttributeRead, 2> reads{};
  std::size_t count = 0;
  if (modulus != nullptr) reads[count++] = {CKA_MODULUS, modulus};
  if (exponent != nullptr) reads[count++] = {CKA_PUBLIC_EXPONENT, exponent};
  if (count == 0) return +TokenCode::kTokenOk;
  return detail::guardMemory([&] {
    return detail::readAttributes(session, detail::objectHandles[0], {reads.data(), count});
  });
}

std::uint32_t p11_GetModulus(TokenSession* session, std::string_view label, Bytes& modulus) {
  return p11_GetPublicKeyParts(session, label, &modulus, nullptr);
}

}  // namespace kestrune::token
