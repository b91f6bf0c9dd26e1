// Opening stores into a store handle: which sources, in which order and how, the store file in
// the temporary folder, and the refusals.
#include "tests/tvcapi/core_fixture.h"

#include <filesystem>

#include "TVCAPI/tvcapi_internal.h"

namespace kestrune::testing::tvcapi_core {
namespace {

using StoreLoadersTest = CoreTest;

StoreList& listOf(TVCAPIHandle* store) {
  return *static_cast<StoreList*>(store->data);
}

int certificatesIn(HCERTSTORE store) {
  int n = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++n;
  return n;
}

void putInFolder(const std::string& folder, const Bytes& der) {
  std::filesystem::create_directories(folder);
  writeFile(folder + "/" + test::sha1Hex(der) + ".der", der);
}

TEST_F(StoreLoadersTest, RefusesNoSourceAndMoreThanNine) {
  TVCAPIHandle* store = nullptr;
  EXPECT_EQ(5005, TVXCAPI_LoadStore(&store, 0, 0));
  EXPECT_EQ(5005, TVXCAPI_LoadStore(nullptr, TVCAPI_USER_MY, 0));
  // Ten of the fourteen sources: the list has nine slots.
  EXPECT_EQ(5005, TVXCAPI_LoadStore(&store, 0x3FF, 0));
  EXPECT_EQ(5005, TVXCAPI_LoadStore(&store, 0x500FFF, 0));
  EXPECT_EQ(nullptr, store);
  ASSERT_EQ(0, TVXCAPI_LoadStore(&store, 0x1FF, 0));
  EXPECT_EQ(static_cast<std::uint32_t>(TVCAPI_STORE_LIST), store->type);
  EXPECT_EQ(nullptr, store->coder);
  EXPECT_EQ(9u, listOf(store).count);
  TVXCAPI_FreeHandle(store);
}

// Sources are opened in table order: the list's slots follow it whatever order the bits have.
TEST_F(StoreLoadersTest, OpensTheNamedStoresInOrder) {
  const Bytes mine = selfSigned(newRsaKey(512).get(), "Mine", 1);
  const Bytes root = selfSigned(newRsaKey(512).get(), "Root", 2);
  const Bytes machineCa = selfSigned(newRsaKey(512).get(), "Machine CA", 3);
  putInFolder(userStore("My"), mine);
  putInFolder(userStore("Root"), root);
  putInFolder(dir() + "/machine/CA", machineCa);
  TVCAPIHandle* store = nullptr;
  ASSERT_EQ(
      0, TVXCAPI_LoadStore(
             &store, TVCAPI_USER_MY | TVCAPI_SYSTEM_ROOT | TVCAPI_MACHINE_CA | TVCAPI_USER_REQUEST,
             0));
  StoreList& list = listOf(store);
  ASSERT_EQ(4u, list.count);
  EXPECT_EQ(1, certificatesIn(list.stores[0]));  // "Root" through CertOpenSystemStoreA
  EXPECT_EQ(1, certificatesIn(list.stores[1]));  // the machine's "CA"
  EXPECT_EQ(1, certificatesIn(list.stores[2]));  // the user's "My"
  EXPECT_EQ(0, certificatesIn(list.stores[3]));  // the user's "Request", empty
  TVXCAPI_FreeHandle(store);
}

TEST_F(StoreLoadersTest, RegistryStoresAreReadOnlyUnlessAskedOtherwise) {
  const Bytes der = selfSigned(newRsaKey(512).get(), "Added", 5);
  for (std::uint32_t options : {0u, 0x80u}) {
    SCOPED_TRACE(options);
    TVCAPIHandle* store = nullptr;
    ASSERT_EQ(0, TVXCAPI_LoadStore(&store, TVCAPI_USER_MY, options));
    const BOOL added = CertAddEncodedCertificateToStore(listOf(store).stores[0], test::kEncoding,
                                                        der.data(), static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    EXPECT_EQ(options != 0, added != FALSE);
    TVXCAPI_FreeHandle(store);
  }
  EXPECT_TRUE(std::filesystem::exists(userStore("My") + "/" + test::sha1Hex(der) + ".der"));
}

TEST_F(StoreLoadersTest, StoreFileInTheTemporaryFolder) {
  TVCAPIHandle* store = nullptr;
  // Missing: passed over by the loader, an error of its own loader.
  ASSERT_EQ(0, TVXCAPI_LoadStore(&store, TVCAPI_STORE_FILE | TVCAPI_USER_MY, 0));
  EXPECT_EQ(1u, listOf(store).count);
  TVXCAPI_FreeHandle(store);
  store = nullptr;
  EXPECT_EQ(5010, TVXCAPI_LoadStoreFromStoreFile(&store));
  EXPECT_EQ(nullptr, store);
  EXPECT_FALSE(std::filesystem::exists(tempDir() + "/tvys.st"));  // and it was not created

  writeFile(tempDir() + "/tvys.st", selfSigned(newRsaKey(512).get(), "In the file", 9));
  ASSERT_EQ(0, TVXCAPI_LoadStoreFromStoreFile(&store));
  ASSERT_EQ(1u, listOf(store).count);
  EXPECT_EQ(1, certificatesIn(listOf(store).stores[0]));
  TVXCAPI_FreeHandle(store);
  ASSERT_EQ(0, TVXCAPI_LoadStore(&store, TVCAPI_STORE_FILE | TVCAPI_USER_MY, 0));
  ASSERT_EQ(2u, listOf(store).count);
  EXPECT_EQ(1, certificatesIn(listOf(store).stores[1]));  // the file comes last
  TVXCAPI_FreeHandle(store);
  EXPECT_EQ(5005, TVXCAPI_LoadStoreFromStoreFile(nullptr));
}

TEST_F(StoreLoadersTest, StoresThatCannotBeOpened) {
  writeFile(tempDir() + "/tvys.st", asBytes("not a certificate store"));
  TVCAPIHandle* store = nullptr;
  TVXCAPI_SetDebugFlag(1);
  EXPECT_EQ(5001, TVXCAPI_LoadStore(&store, TVCAPI_USER_MY | TVCAPI_STORE_FILE, 0));
  EXPECT_EQ(5010, TVXCAPI_LoadStoreFromStoreFile(&store));
  // A store folder that is no folder: access denied.
  std::filesystem::create_directories(dir() + "/data/kestrune/stores/CurrentUser");
  writeFile(userStore("CA"), asBytes("a file"));
  EXPECT_EQ(5206, TVXCAPI_LoadStore(&store, TVCAPI_USER_MY | TVCAPI_USER_CA, 0));
  EXPECT_EQ(nullptr, store);
  EXPECT_TRUE(messages().empty());  // store failures are reported by their code alone
}

TEST_F(StoreLoadersTest, CertificateOutlivesItsStore) {
  const Bytes der = selfSigned(newRsaKey(512).get(), "Kept", 0x0102);
  putInFolder(userStore("My"), der);
  TVCAPIHandle* store = nullptr;
  ASSERT_EQ(0, TVXCAPI_LoadStore(&store, TVCAPI_USER_MY, 0));
  PCCERT_CONTEXT found = CertEnumCertificatesInStore(listOf(store).stores[0], nullptr);
  ASSERT_NE(nullptr, found);
  TVCAPIHandle* cert = nullptr;
  ASSERT_EQ(0,
            tvxCAPICreateHandle(&cert, TVCAPI_CERTIFICATE,
                                const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(found)),
                                &tvxCAPICertificateCoder, nullptr));
  CertFreeCertificateContext(found);
  TVXCAPI_FreeHandle(store);
  char* subject = nullptr;
  ASSERT_EQ(0, TVXCAPI_CertGetSubject(cert, 0, &subject));
  EXPECT_STREQ("O=Kestrune Test\r\nCN=Kept", subject);
  TVXCAPI_Free(subject);
  TVXCAPI_FreeHandle(cert);
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
