// The demo signer's places outside the token: the provider file and the My store, written
// through the CryptoAPI calls a Windows program makes (the Linux stand-in keeps them as
// files under XDG_CONFIG_HOME and XDG_DATA_HOME).
#include <filesystem>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

// First: OpenSSL's headers (through the control's) come before the CryptoAPI declarations,
// whose X509_NAME macro would hide OpenSSL's type.
#include "tools/kestrune/demo_csp.h"
#include "tools/kestrune/demo_token.h"

#include "platform/cryptoapi.h"
#include "platform/platform.h"

namespace kestrune::host {
namespace {

std::wstring wide(const char* ascii) {
  return {ascii, ascii + std::char_traits<char>::length(ascii)};
}

bool writeProviderFile(const std::filesystem::path& config, const std::string& modulePath,
                       std::string& why) {
  const nlohmann::json providers = {
      {kDemoProvider, {{"pkcs11", modulePath}, {"token", kDemoTokenLabel}}}};
  const std::string text = providers.dump(2) + "\n";
  const std::filesystem::path file = config / "kestrune" / "providers.json";
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (error || platform::writeFile(file.c_str(), bytes) != platform::FileStatus::ok) {
    why = "cannot write " + file.string();
    return false;
  }
  return true;
}

bool addToMyStore(const std::vector<std::uint8_t>& certificate, const char* keyContainer,
                  std::string& why) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "My");
  if (store == nullptr) {
    why = "cannot open the My store";
    return false;
  }
  PCCERT_CONTEXT added = nullptr;
  bool stored = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate.data(),
      static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added);
  if (stored) {
    std::wstring container = wide(keyContainer);
    std::wstring provider = wide(kDemoProvider);
    CRYPT_KEY_PROV_INFO home{};
    home.pwszContainerName = container.data();
    home.pwszProvName = provider.data();
    home.dwProvType = PROV_RSA_FULL;
    home.dwKeySpec = AT_KEYEXCHANGE;
    stored = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &home);
  }
  if (added != nullptr) CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  if (!stored) why = "cannot add the certificate to the My store";
  return stored;
}

}  // namespace

bool installDemoSigner(const std::string& dir, const std::string& modulePath,
                       const std::vector<std::uint8_t>& certificate, const char* keyContainer,
                       std::string& why) {
  std::error_code error;
  const std::filesystem::path root = std::filesystem::absolute(dir, error) / "csp";
  const std::filesystem::path config = root / "config";
  const std::filesystem::path data = root / "data";
  // The store of an earlier run goes: a second certificate for U001 would make the lookup ask
  // which one to use.
  std::filesystem::remove_all(data / "kestrune" / "stores", error);
  if (error) {
    why = "cannot empty " + (data / "kestrune" / "stores").string() + ": " + error.message();
    return false;
  }
  if (!platform::setEnvironmentVariable("XDG_CONFIG_HOME", config.c_str()) ||
      !platform::setEnvironmentVariable("XDG_DATA_HOME", data.c_str())) {
    why = "cannot set XDG_CONFIG_HOME and XDG_DATA_HOME";
    return false;
  }
  return writeProviderFile(config, modulePath, why) && addToMyStore(certificate, keyContainer, why);
}

}  // namespace kestrune::host
