// FEDIMessageSignWithCSP_Update: the EDIFACT security envelope signed with the session's
// CryptoAPI key. The identity comes from the signer's certificate instead of a token, the
// hash is always SHA-1, and no token or login is needed.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "control/control_internal.h"
#include "control/csp_internal.h"
#include "control/edifact_envelope.h"
#include "control/number_text.h"

namespace kestrune {
namespace {

// TVXCAPI_PureSign's options: hash the data with SHA-1 and sign its DigestInfo; or sign the
// DigestInfo of a SHA-1 value already made, which gives the same signature.
constexpr std::uint32_t kSha1DigestInfo = 0x10002;
constexpr std::uint32_t kSha1HashValue = TVCAPI_HASH_SHA1_TOO;

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

// How a failure to read the identity is reported: in the boxes of the debug mode, or not at
// all (the identity looked at ahead of its turn).
enum class Report { shown, quiet };

// nameText returns TVCAPI's text of the certificate's subject or issuer, or 12.
template <class Getter>
std::int32_t nameText(const control::ControlState& state, Getter getter, const char* caption,
                      Report report, std::string& text) {
  char* raw = nullptr;
  const std::int32_t code = getter(state.cspCertificate.get(), 0, &raw);
  if (code == TVCAPI_OK && raw != nullptr) text = raw;
  TVXCAPI_Free(raw);
  if (code != TVCAPI_OK) {
    if (report == Report::shown) control::showCspFailure(state, code, caption);
    return +ControlCode::kReadFailed;
  }
  return +ControlCode::kOk;
}

// certificateIdentity reads the signer's identity from the session's certificate.
std::int32_t certificateIdentity(const control::ControlState& state, Report report,
                                 edifact::SignerIdentity& identity) {
  const bool shown = report == Report::shown;
  OwnedBlob serial;
  if (const std::int32_t code =
          TVXCAPI_CertGetSerialNumber(state.cspCertificate.get(), 0, &serial.blob);
      code != TVCAPI_OK) {
    if (shown) control::showCspFailure(state, code, "TVXCAPI_CertGetSerialNumber");
    return +ControlCode::kReadFailed;
  }
  identity.csn = upperHex(serial.bytes());

  std::string subject;
  std::string issuer;
  std::string_view cn;
  std::string_view o;
  if (const std::int32_t code =
          nameText(state, TVXCAPI_CertGetSubject, "TVXCAPI_CertGetSubject", report, subject)) {
    return code;
  }
  if (!control::nameValue(subject, "CN", cn)) {
    if (shown && state.showDebug == 1) platform::messageBox("No Subject CN", "Error");
    return +ControlCode::kUndecodable;
  }
  if (const std::int32_t code =
          nameText(state, TVXCAPI_CertGetIssuer, "TVXCAPI_CertGetIssuer", report, issuer)) {
    return code;
  }
  if (!control::nameValue(issuer, "O", o)) {
    if (shown && state.showDebug == 1) platform::messageBox("No Issuer O", "Error");
    return +ControlCode::kUndecodable;
  }
  identity.sid1 = cn;
  identity.sid2 = o;
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

std::int32_t readCspIdentity(ControlState& state, edifact::SignerIdentity& identity,
                             const edifact::SignerIdentity* readAhead) {
  if (readAhead != nullptr) {
    identity = *readAhead;
  } else if (const std::int32_t code = certificateIdentity(state, Report::shown, identity);
             code != +ControlCode::kOk) {
    return code;
  }
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
    // A long message reads the identity ahead of its turn; the turn then takes what was read.
    std::optional<edifact::SignerIdentity> readAhead;
    signer.readIdentity = [&](edifact::SignerIdentity& identity) {
      return control::readCspIdentity(*this, identity, readAhead ? &*readAhead : nullptr);
    };
    // The signature, most significant byte first, as upper-case hexadecimal text.
    const auto pureSign = [&](std::span<const std::uint8_t> input, std::uint32_t options,
                              std::string& hex) -> std::int32_t {
      if (input.size() > UINT32_MAX) return +ControlCode::kEncodeFailed;  // past TVCAPI's lengths
      OwnedBlob signature;
      const std::int32_t code =
          TVXCAPI_PureSign(cspPrivateKey.get(), input.data(),
                           static_cast<std::uint32_t>(input.size()), options, &signature.blob);
      if (code != TVCAPI_OK) {
        control::showCspFailure(*this, code, "TVXCAPI_PureSign");
        return +ControlCode::kNoSignature;
      }
      hex = upperHex(signature.bytes());
      return +ControlCode::kOk;
    };
    signer.sign = [&](std::string_view data, std::string& hex) {
      return pureSign({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()},
                      kSha1DigestInfo, hex);
    };
    // A long message is hashed beside its conversion, and the hash's value signed.
    signer.peekIdentity = [&](edifact::SignerIdentity& identity) {
      if (!cspCertificate || !cspPrivateKey) return +ControlCode::kReadFailed;
      const std::int32_t code = certificateIdentity(*this, Report::quiet, identity);
      if (code == +ControlCode::kOk) readAhead = identity;
      return code;
    };
    signer.digest = EVP_sha1();
    signer.signHash = [&](std::span<const std::uint8_t> hash, std::string& hex) {
      return pureSign(hash, kSha1HashValue, hex);
    };
    return control::signedEnvelope(*this, SourceData, signer);
  });
}

}  // namespace kestrune
