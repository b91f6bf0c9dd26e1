#include "tests/tvcapi/core_fixture.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "TVCAPI/rsa_key_blob.h"
#include "common/der.h"
#include "platform/platform.h"

namespace kestrune::testing::tvcapi_core {

void CoreTest::SetUp() {
  for (const char* sub : {"/data", "/config", "/machine", "/tmp"})
    std::filesystem::create_directories(dir() + sub);
  const std::pair<const char*, std::string> kEnvironment[] = {
      {"XDG_DATA_HOME", dir() + "/data"},
      {"XDG_CONFIG_HOME", dir() + "/config"},
      {"KESTRUNE_MACHINE_STORES", dir() + "/machine"},
      {"TMPDIR", tempDir() + "/"}};
  for (const auto& [name, value] : kEnvironment) {
    savedEnvironment_.emplace_back(name, platform::environmentVariable(name));
    setenv(name, value.c_str(), 1);
  }
  platform::setMessageSink([this](std::string_view text, std::string_view caption) {
    messages_.push_back({std::string(text), std::string(caption)});
  });
}

void CoreTest::TearDown() {
  TVXCAPI_SetDebugFlag(0);
  TVXCAPI_ReleaseCSP(0);
  platform::setMessageSink({});
  for (const auto& [name, value] : savedEnvironment_) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

void CoreTest::writeProviders(const std::string& json) {
  std::filesystem::create_directories(dir() + "/config/kestrune");
  std::ofstream(dir() + "/config/kestrune/providers.json") << json;
}

Ptr<EVP_PKEY> newRsaKey(unsigned bits) {
  return Ptr<EVP_PKEY>(EVP_RSA_gen(bits));
}

Bytes privateKeyDer(EVP_PKEY* key) {
  return toDer(key, i2d_PrivateKey);
}

Bytes publicKeyInfoDer(EVP_PKEY* key) {
  return toDer(key, i2d_PUBKEY);
}

Bytes selfSigned(EVP_PKEY* key, const char* commonName, std::uint64_t serial) {
  Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Kestrune Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30 * 86400L);
  X509_set_pubkey(cert.get(), key);
  X509_sign(cert.get(), key, EVP_sha256());
  return toDer(cert.get(), i2d_X509);
}

void storeInContainer(EVP_PKEY* key, const char* container) {
  const Bytes der = privateKeyDer(key);
  std::uint8_t* blob = nullptr;
  std::size_t length = 0;
  ASSERT_TRUE(tvxCAPIDerToPrivateBlob(der.data(), der.size(), &blob, &length));
  HCRYPTPROV provider = 0;
  ASSERT_TRUE(CryptAcquireContextA(&provider, container, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                   CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  HCRYPTKEY imported = 0;
  EXPECT_TRUE(
      CryptImportKey(provider, blob, static_cast<DWORD>(length), 0, CRYPT_EXPORTABLE, &imported))
      << std::hex << GetLastError();
  OPENSSL_cleanse(blob, length);
  std::free(blob);
  CryptDestroyKey(imported);
  CryptReleaseContext(provider, 0);
}

namespace {

// Names in the key-provider property are UTF-16, converted from the ANSI code page (950).
std::wstring wideOf(const char* text) {
  std::wstring wide(std::strlen(text) + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
  EXPECT_GT(n, 0);
  wide.resize(n > 0 ? static_cast<std::size_t>(n) - 1 : 0);
  return wide;
}

}  // namespace

TVCAPIHandle* certificateHandle(const Bytes& der, const char* container, const char* provider,
                                std::uint32_t keySpec) {
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(test::kEncoding, der.data(), static_cast<DWORD>(der.size()));
  if (context == nullptr) return nullptr;
  if (provider != nullptr) {
    std::wstring wideContainer = wideOf(container);
    std::wstring wideProvider = wideOf(provider);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wideContainer.data();
    info.pwszProvName = wideProvider.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    EXPECT_TRUE(CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }
  TVCAPIHandle* handle = nullptr;
  EXPECT_EQ(0, tvxCAPICreateHandle(&handle, TVCAPI_CERTIFICATE, const_cast<CERT_CONTEXT*>(context),
                                   &tvxCAPICertificateCoder, nullptr));
  return handle;
}

std::string asText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Bytes asBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes sha1(const Bytes& data) {
  Bytes digest(20);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

Bytes taken(TVCAPI_BLOB& blob) {
  Bytes bytes(blob.data, blob.data + blob.count);
  TVXCAPI_FreeBlob(&blob);
  return bytes;
}

}  // namespace kestrune::testing::tvcapi_core
