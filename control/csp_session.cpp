// FEDIMessageSignWithCSP_Init, _Final and the one-message FEDIMessageSignWithCSP: finding the
// signer's certificate and key through TVCAPI, handing the PIN to the key's provider, and
// releasing them again.
#include <array>
#include <string>

#include "control/control_internal.h"
#include "control/csp_internal.h"
#include "control/secret_text.h"

namespace kestrune {
namespace {

// "請選擇簽章憑證" in Big5: the selection dialog asks the user to choose the signing certificate.
constexpr std::array<char, 14> kSelectionPrompt{'\xBD', '\xD0', '\xBF', '\xEF', '\xBE',
                                                '\xDC', '\xC3', '\xB1', '\xB3', '\xB9',
                                                '\xBE', '\xCC', '\xC3', '\xD2'};

// What a provider's memory store is loaded with: every container's certificate.
constexpr std::uint32_t kProviderStoreOptions = 128;

struct Lookup {
  std::string subject;
  std::string issuer;
  std::uint32_t flags = 0;
  std::uint32_t keyUsage = 0;
};

// findInProvider looks the certificate up among the certificates of a named provider's
// containers; the provider is the one to sign with.
std::int32_t findInProvider(control::ControlState& state, const std::string& provider,
                            const Lookup& lookup, Ptr<TVCAPIHandle>& certificate) {
  TVCAPIHandle* store = nullptr;
  if (const std::int32_t code =
          TVXCAPI_LoadStoreFromCSP(&store, provider.c_str(), kProviderStoreOptions);
      code != TVCAPI_OK) {
    control::showCspFailure(state, code, "TVXCAPI_LoadStoreFromCSP");
    return +ControlCode::kReadFailed;
  }
  const Ptr<TVCAPIHandle> owned(store);
  TVCAPIHandle* found = nullptr;
  const std::int32_t code = TVXCAPI_GetCertificate(
      store, lookup.subject.c_str(), lookup.issuer.c_str(), lookup.flags, lookup.keyUsage, &found);
  certificate.reset(found);
  return code;
}

// findInUserStores looks the certificate up in the user's stores; its key-provider property
// names the provider to sign with.
std::int32_t findInUserStores(const Lookup& lookup, Ptr<TVCAPIHandle>& certificate,
                              std::string& provider) {
  TVCAPIHandle* found = nullptr;
  std::int32_t code = TVXCAPI_GetCertificateFromStores(
      lookup.subject.c_str(), lookup.issuer.c_str(), lookup.flags, lookup.keyUsage, &found);
  certificate.reset(found);
  if (code != TVCAPI_OK) return code;
  char* name = nullptr;
  code = TVXCAPI_CertGetProviderName(certificate.get(), &name, nullptr);
  if (code == TVCAPI_OK) provider = name != nullptr ? name : "";
  TVXCAPI_Free(name);
  return code;
}

}  // namespace

namespace control {

void endCspSession(ControlState& state) noexcept {
  const bool held = state.cspCertificate || state.cspPrivateKey;
  state.cspCertificate.reset();
  state.cspPrivateKey.reset();
  if (held) TVXCAPI_ReleaseCSP(0);
}

void showCspFailure(const ControlState& state, std::int32_t code, std::string_view caption) {
  if (state.showDebug == 1) platform::messageBox(std::to_string(code), caption);
}

}  // namespace control

std::int32_t TVFEDIMiniKeyCrypt::FEDIMessageSignWithCSP_Init(
    std::u16string_view strSubject, std::u16string_view strIssuer, std::u16string_view strProvider,
    std::u16string_view strPin, std::int32_t iFlags, std::int32_t iKeyUsage) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    // A session still open is ended first: replacing its handles would leave the old key,
    // its provider context and the PIN it was opened with behind.
    control::endCspSession(*this);
    Lookup lookup;
    auto subject = control::argumentText(*this, strSubject);
    auto issuer = control::argumentText(*this, strIssuer);
    auto provider = control::argumentText(*this, strProvider);
    control::SecretText pin;
    if (!subject || !issuer || !provider || control::secretText(strPin, pin) != 0) {
      return +ControlCode::kBadText;
    }
    lookup.subject = std::move(*subject);
    lookup.issuer = std::move(*issuer);
    lookup.flags = static_cast<std::uint32_t>(iFlags);
    lookup.keyUsage = static_cast<std::uint32_t>(iKeyUsage);
    TVXCAPI_SetDialogMessage(kSelectionPrompt.data(), kSelectionPrompt.size());

    Ptr<TVCAPIHandle> certificate;
    std::string providerName = *provider;
    const std::int32_t found = providerName.empty()
                                   ? findInUserStores(lookup, certificate, providerName)
                                   : findInProvider(*this, providerName, lookup, certificate);
    if (found != TVCAPI_OK) return found;
    if (const std::int32_t code = TVXCAPI_AcquireCSP(providerName.c_str()); code != TVCAPI_OK) {
      control::showCspFailure(*this, code, "TVXCAPI_AcquireCSP");
      return +ControlCode::kReadFailed;
    }
    // From here the provider context is held: any failure releases it with the handles.
    TVCAPIHandle* key = nullptr;
    if (const std::int32_t code = TVXCAPI_GetPrivateKey(certificate.get(), &key);
        code != TVCAPI_OK) {
      TVXCAPI_FreeHandle(key);
      control::showCspFailure(*this, code, "TVXCAPI_GetPrivateKey");
      TVXCAPI_ReleaseCSP(0);
      return +ControlCode::kReadFailed;
    }
    Ptr<TVCAPIHandle> privateKey(key);
    const std::int32_t code = TVXCAPI_SetPrivateKeyPin(
        key, pin.c_str(), static_cast<std::uint32_t>(iFlags) & TVCAPI_CSP_ASKS_PIN);
    if (code != TVCAPI_OK) {
      privateKey.reset();
      TVXCAPI_ReleaseCSP(0);
      return code;
    }
    cspCertificate = std::move(certificate);
    cspPrivateKey = std::move(privateKey);
    return +ControlCode::kOk;
  });
}

std::int32_t TVFEDIMiniKeyCrypt::FEDIMessageSignWithCSP_Final() {
  cspCertificate.reset();
  cspPrivateKey.reset();
  TVXCAPI_ReleaseCSP(0);
  return +ControlCode::kOk;
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::FEDIMessageSignWithCSP(
    std::u16string_view SourceData, std::u16string_view strSubject, std::u16string_view strIssuer,
    std::u16string_view strProvider, std::u16string_view strPin, std::int32_t iFlags,
    std::int32_t iKeyUsage) {
  if (FEDIMessageSignWithCSP_Init(strSubject, strIssuer, strProvider, strPin, iFlags, iKeyUsage) !=
      +ControlCode::kOk) {
    return std::nullopt;
  }
  auto signedMessage = FEDIMessageSignWithCSP_Update(SourceData);
  FEDIMessageSignWithCSP_Final();
  return signedMessage;
}

}  // namespace kestrune
