// sign, signB64, signHash: signatures with the token's private key, as hexadecimal text.
#include <vector>

#include "control/control_internal.h"
#include "control/identity_internal.h"
#include "control/number_text.h"
#include "token/base64.h"

namespace kestrune {
namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

// The signed bytes are the code-page-950 form of the text, without its terminator.
std::optional<std::u16string> TVFEDIMiniKeyCrypt::sign(std::u16string_view SourceData) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    const auto text = control::argumentText(*this, SourceData);
    if (!text) return std::nullopt;
    const std::int32_t type = control::detectKeyType(*this);
    const auto signature = control::signDigest(*this, bytesOf(*text), true, type);
    if (!signature) return std::nullopt;
    return control::toBstr(*this, *signature);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::signB64(std::u16string_view SourceData) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    const auto text = control::argumentText(*this, SourceData);
    if (!text) return std::nullopt;
    std::vector<std::uint8_t> data;
    if (!token::text_Base64Decode(*text, data)) {
      lastErrorCode = +ControlCode::kBase64Failed;
      return std::nullopt;
    }
    const std::int32_t type = control::detectKeyType(*this);
    const auto signature = control::signDigest(*this, data, true, type);
    if (!signature) return std::nullopt;
    return control::toBstr(*this, *signature);
  });
}

// The hash is always taken as an MD5 one (16 bytes), whatever the token's type.
std::optional<std::u16string> TVFEDIMiniKeyCrypt::signHash(std::u16string_view hexHash) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    const auto text = control::argumentText(*this, hexHash);
    if (!text) return std::nullopt;
    if (text->size() % 2 != 0) {
      lastErrorCode = +ControlCode::kMalformedArgument;
      return std::nullopt;
    }
    std::vector<std::uint8_t> hash(text->size() / 2 + 1);
    const std::int32_t count = control::hexToBytes(*text, hash);
    if (count < 0) {
      lastErrorCode = +ControlCode::kMalformedArgument;
      return std::nullopt;
    }
    hash.resize(static_cast<std::size_t>(count));
    control::detectKeyType(*this);  // for keyLabel only
    const auto signature = control::signDigest(*this, hash, false, control::kLinkway);
    if (!signature) return std::nullopt;
    return control::toBstr(*this, *signature);
  });
}

}  // namespace kestrune
