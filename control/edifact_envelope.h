// What the two EDIFACT signing paths share: the token's (FEDIMessageSign) and the CryptoAPI
// session's (FEDIMessageSignWithCSP_Update) differ only in whose identity and key go into
// the envelope.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "control/control_state.h"
#include "edifact/edifact.h"

#include <openssl/evp.h>

namespace kestrune::control {

struct EnvelopeSigner {
  std::int32_t keyType = -1;  // ZRML (3) signs with SHA-1, every other type with MD5
  // Runs once the message is converted, before anything else: a code other than 0 stops
  // the signing with that code.
  std::function<std::int32_t()> ready;
  edifact::IdentityReader readIdentity;
  edifact::DigestSigner sign;
  // Optional, all three or none: the identity as readIdentity will give it, read without
  // showing or keeping anything; the hash the signature covers; and a signer of that hash's
  // value, for what sign does to the whole. With them a long message is hashed beside its
  // conversion.
  edifact::IdentityReader peekIdentity;
  const EVP_MD* digest = nullptr;
  std::function<std::int32_t(std::span<const std::uint8_t> hash, std::string& hex)> signHash;
};

// signedEnvelope converts the message to code page 950 (failure: 3), puts the signed security
// envelope around it with the local time, and returns it as UTF-16 with lastErrorCode 0; on
// failure nullopt with the code in lastErrorCode.
std::optional<std::u16string> signedEnvelope(ControlState& state, std::u16string_view source,
                                             const EnvelopeSigner& signer);

}  // namespace kestrune::control
