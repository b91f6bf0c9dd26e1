// Memory stores and system stores as folders: thumbprint files, the key-provider JSON,
// dispositions, read-only and access-denied opening, contexts outliving their store.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/refused_files.h"
#include "tests/cryptoapi/cert_maker.h"

namespace kestrune::test {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<PCCERT_CONTEXT> enumerate(HCERTSTORE store) {
  std::vector<PCCERT_CONTEXT> out;
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr)
    out.push_back(CertDuplicateCertificateContext(cert));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  return out;
}

void freeAll(std::vector<PCCERT_CONTEXT>& certs) {
  for (auto c : certs) CertFreeCertificateContext(c);
  certs.clear();
}

BOOL add(HCERTSTORE store, const Bytes& der, DWORD disposition, PCCERT_CONTEXT* out = nullptr) {
  return CertAddEncodedCertificateToStore(store, kEncoding, der.data(),
                                          static_cast<DWORD>(der.size()), disposition, out);
}

class SystemStores : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setEnvironmentVariable("XDG_DATA_HOME", home_.path().c_str());
    platform::setEnvironmentVariable("KESTRUNE_MACHINE_STORES",
                                     (machine_.path() + "/stores").c_str());
  }
  fs::path userStore(const char* name) const {
    return fs::path(home_.path()) / "kestrune/stores/CurrentUser" / name;
  }
  TempFolder home_, machine_;
};

TEST(MemoryStore, DispositionsAndEnumeration) {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  ASSERT_NE(store, nullptr);
  CertSpec one, two;
  two.serial = 2;
  const Bytes a = makeCert(one), b = makeCert(two);
  ASSERT_TRUE(add(store, a, CERT_STORE_ADD_NEW));
  SetLastError(0);
  EXPECT_FALSE(add(store, a, CERT_STORE_ADD_NEW));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  PCCERT_CONTEXT kept = nullptr;
  ASSERT_TRUE(add(store, a, CERT_STORE_ADD_USE_EXISTING, &kept));
  ASSERT_TRUE(add(store, a, CERT_STORE_ADD_REPLACE_EXISTING));
  ASSERT_TRUE(add(store, b, CERT_STORE_ADD_ALWAYS));
  auto certs = enumerate(store);
  EXPECT_EQ(certs.size(), 2u);
  freeAll(certs);
  EXPECT_FALSE(add(store, a, 9));
  // Deleting while enumerating carries on with the next certificate.
  CertSpec three;
  three.serial = 3;
  ASSERT_TRUE(add(store, makeCert(three), CERT_STORE_ADD_NEW));
  int deleted = 0;
  for (PCCERT_CONTEXT cert = nullptr; (cert = CertEnumCertificatesInStore(store, cert)) != nullptr;)
    deleted += CertDeleteCertificateFromStore(CertDuplicateCertificateContext(cert));
  EXPECT_EQ(deleted, 3);
  EXPECT_TRUE(enumerate(store).empty());
  // A context from the store outlives it, even after it was replaced.
  EXPECT_TRUE(CertCloseStore(store, 0));
  EXPECT_EQ(kept->pCertInfo->SerialNumber.pbData[0], 1);
  EXPECT_EQ(kept->hCertStore, store);
  CertFreeCertificateContext(kept);
}

TEST_F(SystemStores, KeepsCertificatesAsThumbprintFiles) {
  const Bytes der = makeCert({});
  const std::string thumbprint = sha1Hex(der);
  HCERTSTORE store = CertOpenSystemStoreA(0, "My");
  ASSERT_NE(store, nullptr);
  EXPECT_FALSE(fs::exists(userStore("My")));  // created when first written
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(add(store, der, CERT_STORE_ADD_REPLACE_EXISTING, &added));
  const fs::path derFile = userStore("My") / (thumbprint + ".der");
  ASSERT_TRUE(fs::exists(derFile));
  EXPECT_EQ(fs::file_size(derFile), der.size());
  struct stat info {};
  ASSERT_EQ(stat(userStore("My").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  std::wstring container = L"金鑰一", provider = L"Kestrune Test CSP";
  CRYPT_KEY_PROV_INFO keyProv{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                              nullptr,          AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &keyProv));
  const std::string json = readText(userStore("My") / (thumbprint + ".json"));
  EXPECT_NE(json.find("\"container\":\"金鑰一\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"provider\":\"Kestrune Test CSP\""), std::string::npos);
  EXPECT_NE(json.find("\"keySpec\":1"), std::string::npos);
  EXPECT_NE(json.find("\"providerType\":1"), std::string::npos);
  CertFreeCertificateContext(added);
  CertCloseStore(store, 0);

  // Reopened read-only (another spelling of the name): the certificate and its property.
  HCERTSTORE again =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
  ASSERT_NE(again, nullptr);
  auto certs = enumerate(again);
  ASSERT_EQ(certs.size(), 1u);
  DWORD size = 0;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(certs[0], CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  ASSERT_TRUE(CertGetCertificateContextProperty(certs[0], CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                                &size));
  const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  EXPECT_STREQ(got->pwszContainerName, L"金鑰一");
  EXPECT_EQ(got->dwKeySpec, AT_KEYEXCHANGE);

  // Read-only refuses every write.
  CertSpec other;
  other.serial = 7;
  SetLastError(0);
  EXPECT_FALSE(add(again, makeCert(other), CERT_STORE_ADD_NEW));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(CertSetCertificateContextProperty(certs[0], CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(certs[0])));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  freeAll(certs);
  CertCloseStore(again, 0);

  // Deleting through a writable store removes both files.
  HCERTSTORE writable = CertOpenSystemStoreA(0, "My");
  certs = enumerate(writable);
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(certs[0])));
  EXPECT_FALSE(fs::exists(derFile));
  EXPECT_FALSE(fs::exists(userStore("My") / (thumbprint + ".json")));
  EXPECT_EQ(certs[0]->pCertInfo->dwVersion, 2u);  // the caller's other reference still holds
  freeAll(certs);
  EXPECT_TRUE(enumerate(writable).empty());
  CertCloseStore(writable, 0);
}

// A store's file or folder another user may have written is passed over: a key property
// naming another provider is not followed, a certificate not listed, a folder not opened; each
// path goes to the refusal sink.
TEST_F(SystemStores, FilesOthersMayWriteAreNotFollowed) {
  const Bytes der = makeCert({});
  const std::string thumbprint = sha1Hex(der);
  HCERTSTORE store = CertOpenSystemStoreA(0, "My");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(add(store, der, CERT_STORE_ADD_REPLACE_EXISTING, &added));
  std::wstring container = L"key", provider = L"Card";
  CRYPT_KEY_PROV_INFO keyProv{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                              nullptr,          AT_SIGNATURE};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &keyProv));
  CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  const std::string derFile = (userStore("My") / (thumbprint + ".der")).string();
  const std::string jsonFile = (userStore("My") / (thumbprint + ".json")).string();
  // Someone else's word for the key: another provider.
  std::ofstream(jsonFile) << R"({"provider": "Planted", "container": "theirs", "keySpec": 2})";

  std::vector<std::string> refused;
  const platform::RefusedFileSink previous =
      platform::setRefusedFileSink([&](const std::string& path) { refused.push_back(path); });
  enum Seen { withProperty, withoutProperty, notListed, notOpened };
  const auto seen = [&]() {
    HCERTSTORE opened =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"My");
    if (opened == nullptr) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
      return notOpened;
    }
    auto certs = enumerate(opened);
    DWORD size = 0;
    const Seen result =
        certs.empty() ? notListed
        : CertGetCertificateContextProperty(certs[0], CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)
            ? withProperty
            : withoutProperty;
    freeAll(certs);
    CertCloseStore(opened, 0);
    return result;
  };
  ASSERT_EQ(chmod(jsonFile.c_str(), 0600), 0);
  ASSERT_EQ(seen(), withProperty);

  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    mode_t usual;
    Seen seen;
  } const cases[] = {
      {"world-writable property", jsonFile, 0666, 0600, withoutProperty},
      {"group-writable property", jsonFile, 0660, 0600, withoutProperty},
      {"world-writable certificate", derFile, 0646, 0600, notListed},
      {"group-writable certificate", derFile, 0620, 0600, notListed},
      {"group-writable folder", userStore("My").string(), 0770, 0700, notOpened},
      {"world-writable folder", userStore("My").string(), 0707, 0700, notOpened},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    refused.clear();
    ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    EXPECT_EQ(seen(), c.seen);
    EXPECT_EQ(refused, std::vector<std::string>{c.path});
    ASSERT_EQ(chmod(c.path.c_str(), c.usual), 0);
    EXPECT_EQ(seen(), withProperty);
  }
  // Only root can give a file to another user.
  if (geteuid() == 0) {
    refused.clear();
    ASSERT_EQ(chown(jsonFile.c_str(), 65534, 65534), 0);
    EXPECT_EQ(seen(), withoutProperty);
    ASSERT_EQ(chown(derFile.c_str(), 65534, 65534), 0);
    EXPECT_EQ(seen(), notListed);
    EXPECT_EQ(refused, (std::vector<std::string>{jsonFile, derFile}));
  }
  platform::setRefusedFileSink(previous);
}

TEST_F(SystemStores, MachineStoresAndUnusableFolders) {
  HCERTSTORE machine =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  ASSERT_NE(machine, nullptr);
  ASSERT_TRUE(add(machine, makeCert({}), CERT_STORE_ADD_NEW));
  EXPECT_EQ(std::distance(fs::directory_iterator(machine_.path() + "/stores/Root"),
                          fs::directory_iterator()),
            1);
  CertCloseStore(machine, 0);

  // A store that must exist, and one that must be new.
  SetLastError(0);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"CA"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_CREATE_NEW_FLAG, L"Root"),
            nullptr);
  EXPECT_EQ(GetLastError(), 80u);  // ERROR_FILE_EXISTS

  // Names that aren't a folder's, and a location that isn't one.
  SetLastError(0);
  EXPECT_EQ(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"../escape"),
      nullptr);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, 0, L"My"), nullptr);

  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions don't stop root";
  fs::create_directories(userStore("CA"));
  chmod(userStore("CA").c_str(), 0500);  // readable, not writable
  HCERTSTORE readOnly =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"CA");
  EXPECT_NE(readOnly, nullptr);
  CertCloseStore(readOnly, 0);
  SetLastError(0);
  EXPECT_EQ(CertOpenSystemStoreA(0, "CA"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  chmod(userStore("CA").c_str(), 0);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"CA"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace kestrune::test
