// The lookup's entry points with their handles: a store handle's checks, the certificate handle
// it gives, the user's My store, and the selection-dialog message that a lookup consumes.
#include <gtest/gtest.h>

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "cert_maker.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "TVCAPI/tvcapi.h"
#include "TVCAPI/tvcapi_internal.h"
#include "platform/platform.h"

namespace {

using kestrune::test::CertSpec;
using kestrune::test::kEncoding;

CertSpec named(const char* cn, std::uint64_t serial) {
  CertSpec spec;
  spec.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, cn}};
  spec.serial = serial;
  return spec;
}

class StoreHandle {
 public:
  StoreHandle() {
    list_.count = 1;
    list_.stores[0] =
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    for (const auto& spec : {named("Alice", 0x0A), named("Bob", 0x0B)}) {
      const auto der = kestrune::test::makeCert(spec);
      CertAddEncodedCertificateToStore(list_.stores[0], kEncoding, der.data(),
                                       static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                       nullptr);
    }
    handle_.type = TVCAPI_STORE_LIST;
    handle_.data = &list_;
  }
  ~StoreHandle() {
    if (list_.stores[0] != nullptr) CertCloseStore(list_.stores[0], 0);
  }
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;
  TVCAPIHandle* get() { return &handle_; }
  void closeStore() {
    CertCloseStore(list_.stores[0], 0);
    list_.stores[0] = nullptr;
  }

 private:
  StoreList list_{};
  TVCAPIHandle handle_{};
};

std::string subjectOf(TVCAPIHandle* cert) {
  const auto* context = static_cast<PCCERT_CONTEXT>(cert->data);
  char text[64] = {};
  CertNameToStrA(kEncoding, &context->pCertInfo->Subject, CERT_X500_NAME_STR, text, sizeof text);
  return text;
}

TEST(LookupHandlesTest, StoreHandleChecksAndCertificateHandle) {
  StoreHandle store;
  TVCAPIHandle* cert = nullptr;
  EXPECT_EQ(5005, TVXCAPI_GetCertificate(nullptr, "CN=Alice", nullptr, 0, 0, &cert));
  TVCAPIHandle wrongType{TVCAPI_CERTIFICATE, store.get()->data, nullptr, {nullptr}};
  EXPECT_EQ(5006, TVXCAPI_GetCertificate(&wrongType, "CN=Alice", nullptr, 0, 0, &cert));
  EXPECT_EQ(5005, TVXCAPI_GetCertificate(store.get(), "CN=Alice", nullptr, 0, 0, nullptr));
  EXPECT_EQ(5010, TVXCAPI_GetCertificate(store.get(), "CN=Carol", nullptr, 0, 0, &cert));
  EXPECT_EQ(nullptr, cert);
  ASSERT_EQ(0, TVXCAPI_GetCertificate(store.get(), "CN=Carol\tCN=Bob", nullptr, 0, 0, &cert));
  ASSERT_NE(nullptr, cert);
  EXPECT_EQ(static_cast<std::uint32_t>(TVCAPI_CERTIFICATE), cert->type);
  EXPECT_EQ(&tvxCAPICertificateCoder, cert->coder);
  store.closeStore();  // the certificate handle holds its own reference
  EXPECT_EQ("CN=Bob", subjectOf(cert));
  TVXCAPI_FreeHandle(cert);
}

TEST(LookupHandlesTest, TheDialogConsumesItsMessage) {
  StoreHandle store;
  ASSERT_TRUE(kestrune::platform::setEnvironmentVariable("KESTRUNE_CHOOSE", "2"));
  TVXCAPI_SetDialogMessage("please choose", 13);
  TVCAPIHandle* cert = nullptr;
  ASSERT_EQ(0, TVXCAPI_GetCertificate(store.get(), nullptr, nullptr, 0x1, 0, &cert));
  EXPECT_EQ("CN=Bob", subjectOf(cert));
  TVXCAPI_FreeHandle(cert);
  EXPECT_EQ(nullptr, tvxCAPIDialogMessage(nullptr));
}

// The user's My store is a folder of the data home; the message is cleared whatever the
// lookup's outcome.
TEST(LookupHandlesTest, FromTheUsersStores) {
  kestrune::test::TempFolder home;
  const std::string saved = kestrune::platform::environmentVariable("XDG_DATA_HOME");
  ASSERT_TRUE(kestrune::platform::setEnvironmentVariable("XDG_DATA_HOME", home.path().c_str()));
  const auto my = std::filesystem::path(home.path()) / "kestrune/stores/CurrentUser/My";
  std::filesystem::create_directories(my);
  const auto der = kestrune::test::makeCert(named("Alice", 0x0A));
  std::ofstream(my / (kestrune::test::sha1Hex(der) + ".der"), std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  TVCAPIHandle* cert = nullptr;
  ASSERT_EQ(0, TVXCAPI_GetCertificateFromStores("CN=Alice", nullptr, 0, 0, &cert));
  EXPECT_EQ("CN=Alice", subjectOf(cert));
  TVXCAPI_FreeHandle(cert);
  TVXCAPI_SetDialogMessage("unused", 6);
  cert = nullptr;
  EXPECT_EQ(5010, TVXCAPI_GetCertificateFromStores("CN=Bob", nullptr, 0, 0, &cert));
  EXPECT_EQ(nullptr, cert);
  EXPECT_EQ(nullptr, tvxCAPIDialogMessage(nullptr));
  kestrune::platform::setEnvironmentVariable("XDG_DATA_HOME", saved.c_str());
}

}  // namespace
