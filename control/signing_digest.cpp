// signDigest: a PKCS #1 v1.5 signature made on the token over the DigestInfo of the data.
#include <openssl/evp.h>

#include <array>
#include <vector>

#include "FEDIX509/fedi_md5.h"
#include "control/control_internal.h"
#include "control/identity_internal.h"
#include "control/number_text.h"

namespace kestrune {
namespace {

// The DER prefixes of DigestInfo (RFC 3447, 9.2); the digest follows directly.
constexpr std::array<std::uint8_t, 18> kMd5Prefix = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08,
                                                     0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                                     0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::array<std::uint8_t, 15> kSha1Prefix = {
    0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

struct DigestChoice {
  const EVP_MD* (*md)();
  std::span<const std::uint8_t> prefix;
  std::size_t length;
};

// ZRML tokens sign SHA-1 digests, every other type MD5.
DigestChoice digestFor(std::int32_t keyType) {
  if (keyType == control::kZrml) return {EVP_sha1, kSha1Prefix, 20};
  return {fedi::md5, kMd5Prefix, 16};
}

}  // namespace

std::optional<std::string> control::signDigest(ControlState& state,
                                               std::span<const std::uint8_t> data, bool hashFirst,
                                               std::int32_t keyType) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  if (state.pinVerified() == 0) {
    state.lastErrorCode = +ControlCode::kPinNotVerified;
    return std::nullopt;
  }

  const DigestChoice choice = digestFor(keyType);
  std::vector<std::uint8_t> digestInfo(choice.prefix.begin(), choice.prefix.end());
  if (hashFirst) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, choice.md(), nullptr) != 1 ||
        length != choice.length) {
      return std::nullopt;
    }
    digestInfo.insert(digestInfo.end(), digest.begin(), digest.begin() + length);
  } else {
    if (data.size() != choice.length) {
      state.lastErrorCode = +ControlCode::kMalformedArgument;
      return std::nullopt;
    }
    digestInfo.insert(digestInfo.end(), data.begin(), data.end());
  }

  // The private key is a private object: it is found only with private objects set.
  token::p11_SetPrivateObjects(1);
  token::TokenKeyInfo key;
  if (token::token_GetKeyInfo(&key, state.session(), state.keyLabel.view(), 0) !=
      +token::TokenCode::kTokenOk) {
    state.lastErrorCode = +ControlCode::kSigningKeyMissing;
    return std::nullopt;
  }
  token::Bytes signature;
  const std::int32_t length =
      token::token_RsaSign(digestInfo.size(), digestInfo.data(), signature, &key, 0);
  if (length <= 0 || static_cast<std::size_t>(length) != signature.size()) {
    state.lastErrorCode = +ControlCode::kNoSignature;
    return std::nullopt;
  }

  std::string text(2 * signature.size() + 1, '\0');
  const std::int32_t digits = control::bytesToRadix(signature, text, 16);
  if (digits < 0 || static_cast<std::size_t>(digits) != 2 * signature.size()) {
    state.lastErrorCode = +ControlCode::kNoSignature;
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(digits));
  state.lastErrorCode = +ControlCode::kOk;
  return text;
}

}  // namespace kestrune
