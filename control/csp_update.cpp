// FEDIMessageSignWithCSP_Update: the EDIFACT security envelope signed with the session's
// CryptoAPI key. The identity comes from the signer's certificate instead of a token, the
// hash is always SHA-1, and no token or login is needed.
#include <cstdint>
#include <span>
#include <string>

#include "control/control_internal.h"
#include "control/csp_internal.h"
#include "control/edifact_envelope.h"
#include "control/number_text.h"

namespace kestrune {
namespace {

// TVXCAPI_PureSign's options: hash the data with SHA-1 and sign its DigestInfo.
constexpr std::uint32_t kSha1DigestInfo = 0x10002;

// The owner of a blob that TVCAPI allocated.
struct OwnedBlob {
  TVCAPI_BLOB blob{0, nullptr};
  ~OwnedBlob() { TVXCAPI_FreeBlob(&blob); }
  std::span<const std::uint8_t> bytes() const { return {blob.data, blob.count}; }
};

// upperHex writes bytes as two upper-case hexadecimal digits each.
std::string upperHex(std::span<const std::uint8_t> bytes) {
  std::string hex(2 * bytes.size() + 1, '\0');
  const std::int32_t written = control::bytesToRadix(bytes, hex, 16);
  hex.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return hex;
}

// nameText returns TVCAPI's text of the certificate's subject or issuer, or 12.
template <class Getter>
std::int32_t nameText(const control::ControlState& state, Getter getter, const char* caption,
                      std::string& text) {
  char* raw = nullptr;
  const std::int32_t code = getter(state.cspCertificate.get(), 0, &raw);
  if (code == TVCAPI_OK && raw != nullptr) text = raw;
  TVXCAPI_Free(raw);
  if (code != TVCAPI_OK) {
    control::showCspFailure(state, code, caption);
    return +ControlCode::kReadFailed;
  }
  return +ControlCode::kOk;
}

}  // namespace

namespace control {

bool nameValue(std::string_view name, std::string_view key, std::string_view& value) {
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t lineEnd = std::min(name.find_first_of("\r\n", at), name.size());
    std::string_view line = name.substr(at, lineEnd - at);
    // A multi-valued RDN's parts are joined with " + " on one line.
    for (std::size_t part = 0; part != std::string_view::npos;) {
      const std::string_view rest = line.substr(part);
      if (rest.size() > key.size() && rest.starts_with(key) && rest[key.size()] == '=') {
        value = rest.substr(key.size() + 1);
        const std::size_t next = value.find(" + ");
        if (next != std::string_view::npos) value = value.substr(0, next);
        return true;
      }
      part = line.find(" + ", part);
      if (part != std::string_view::npos) part += 3;
    }
    at = lineEnd + 1;
  }
  return false;
}

std::int32_t readCspIdentity(ControlState& state, edifact::SignerIdentity& identity) {
  OwnedBlob serial;
  if (const std::int32_t code =
          TVXCAPI_CertGetSerialNumber(state.cspCertificate.get(), 0, &serial.blob);
      code != TVCAPI_OK) {
    showCspFailure(state, code, "TVXCAPI_CertGetSerialNumber");
    return +ControlCode::kReadFailed;
  }
  identity.csn = upperHex(serial.bytes());

  std::string subject;
  std::string issuer;
  std::string_view cn;
  std::string_view o;
  if (const std::int32_t code =
          nameText(state, TVXCAPI_CertGetSubject, "TVXCAPI_CertGetSubject", subject)) {
    return code;
  }
  if (!nameValue(subject, "CN", cn)) {
    if (state.showDebug == 1) platform::messageBox("No Subject CN", "Error");
    return +ControlCode::kUndecodable;
  }
  if (const std::int32_t code =
          nameText(state, TVXCAPI_CertGetIssuer, "TVXCAPI_CertGetIssuer", issuer)) {
    return code;
  }
  if (!nameValue(issuer, "O", o)) {
    if (state.showDebug == 1) platform::messageBox("No Issuer O", "Error");
    return +ControlCode::kUndecodable;
  }
  identity.sid1 = cn;
  identity.sid2 = o;
  state.sid1Cache = identity.sid1;
  state.sid2Cache = identity.sid2;
  return +ControlCode::kOk;
}

}  // namespace control

std::optional<std::u16string> TVFEDIMiniKeyCrypt::FEDIMessageSignWithCSP_Update(
    std::u16string_view SourceData) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    control::EnvelopeSigner signer;
    signer.keyType = edifact::kSha1KeyType;
    signer.ready = [&] {
      return cspCertificate && cspPrivateKey ? +ControlCode::kOk : +ControlCode::kReadFailed;
    };
    signer.readIdentity = [&](edifact::SignerIdentity& identity) {
      return control::readCspIdentity(*this, identity);
    };
    signer.sign = [&](std::string_view data, std::string& hex) -> std::int32_t {
      if (data.size() > UINT32_MAX) return +ControlCode::kEncodeFailed;  // past TVCAPI's lengths
      OwnedBlob signature;
      const std::int32_t code = TVXCAPI_PureSign(
          cspPrivateKey.get(), reinterpret_cast<const std::uint8_t*>(data.data()),
          static_cast<std::uint32_t>(data.size()), kSha1DigestInfo, &signature.blob);
      if (code != TVCAPI_OK) {
        control::showCspFailure(*this, code, "TVXCAPI_PureSign");
        return +ControlCode::kNoSignature;
      }
      hex = upperHex(signature.bytes());
      return +ControlCode::kOk;
    };
    return control::signedEnvelope(*this, SourceData, signer);
  });
}

}  // namespace kestrune
