// A memory store filled from a provider's key containers: a card's certificate, tied to its
// container and key spec, and what happens with providers that have none.
#include "tests/tvcapi/token_fixture.h"

#include "TVCAPI/tvcapi_internal.h"

namespace kestrune::testing::tvcapi_core {
namespace {

using StoreFromCspTest = TokenCoreTest;

TEST_F(StoreFromCspTest, TheCardsCertificateWithItsKeysHome) {
  struct Case {
    std::uint32_t options;
    DWORD keySpec;  // the exchange key's certificate is replaced by the signature key's
  };
  for (const Case& c :
       {Case{0x80, AT_SIGNATURE}, Case{0x80 | 0x20, AT_KEYEXCHANGE}, Case{0, AT_SIGNATURE}}) {
    SCOPED_TRACE(c.options);
    TVCAPIHandle* store = nullptr;
    ASSERT_EQ(0, TVXCAPI_LoadStoreFromCSP(&store, "Card", c.options));
    ASSERT_EQ(1u, static_cast<StoreList*>(store->data)->count);
    auto certs = certificatesOf(store);
    TVXCAPI_FreeHandle(store);
    ASSERT_EQ(1u, certs.size());
    const auto* context = static_cast<PCCERT_CONTEXT>(certs[0]->data);
    EXPECT_EQ(certificate(),
              Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded));
    const KeyHome home = keyHomeOf(certs[0]);
    EXPECT_EQ(L"card-key", home.container);
    EXPECT_EQ(L"Card", home.provider);
    EXPECT_EQ(c.keySpec, home.keySpec);
    char* subject = nullptr;
    ASSERT_EQ(0, TVXCAPI_CertGetSubject(certs[0], 0, &subject));
    EXPECT_STREQ("O=Card Issuer\r\nCN=card", subject);
    TVXCAPI_Free(subject);
    char* provider = nullptr;
    char* container = nullptr;
    ASSERT_EQ(0, TVXCAPI_CertGetProviderName(certs[0], &provider, &container));
    EXPECT_STREQ("Card", provider);
    EXPECT_STREQ("card-key", container);
    TVXCAPI_Free(provider);
    TVXCAPI_Free(container);
    TVXCAPI_FreeHandle(certs[0]);
  }
}

TEST_F(StoreFromCspTest, ProvidersWithoutCertificatesOrUnknown) {
  storeInContainer(newRsaKey(512).get(), "software key");
  TVCAPIHandle* store = nullptr;
  ASSERT_EQ(0, TVXCAPI_LoadStoreFromCSP(&store, MS_ENHANCED_PROV_A, 0x80));
  EXPECT_TRUE(certificatesOf(store).empty());
  TVXCAPI_FreeHandle(store);
  store = nullptr;
  TVXCAPI_SetDebugFlag(1);
  EXPECT_EQ(5203, TVXCAPI_LoadStoreFromCSP(&store, "Nowhere", 0x80));
  EXPECT_EQ(nullptr, store);
  ASSERT_FALSE(messages().empty());
  EXPECT_NE(std::string::npos,
            messages().back().text.find("TVXCAPI_LoadStoreFromCSP:CryptAcquireContextA:80090019"));
  EXPECT_EQ(5005, TVXCAPI_LoadStoreFromCSP(&store, nullptr, 0x80));
  EXPECT_EQ(5005, TVXCAPI_LoadStoreFromCSP(nullptr, "Card", 0x80));
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
