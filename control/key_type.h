// Token types: which labels hold a token's key pair, and the name getType gives each type.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "token/labels.h"

namespace kestrune::control {

enum TokenType : std::int32_t {
  kNoTokenType = -1,
  kLinkway = 0,
  kSafeNet = 1,
  kTaiOne = 2,
  kZrml = 3,
};

struct KeyLabels {
  std::u16string_view name;  // as getType returns it
  std::string_view publicKey;
  std::string_view privateKey;
};

// The types that are marked by their public key's label, in the order of detection.
inline constexpr std::array<KeyLabels, 3> kLabelledTypes{{
    {u"Linkway", token::kLinkwayPublicKeyLabel, token::kLinkwayPrivateKeyLabel},
    {u"SafeNet", token::kSafeNetPublicKeyLabel, token::kSafeNetPrivateKeyLabel},
    {u"TaiOne", token::kTaiOnePublicKeyLabel, token::kTaiOnePrivateKeyLabel},
}};

// A ZRML token is marked by a certificate object; key and certificate share its label.
inline constexpr std::u16string_view kZrmlName = u"ZRML";

}  // namespace kestrune::control
