// The lookup's entry points: over a store handle, over the user's stores, over a store list.
#include "TVCAPI/select_collection.h"
#include "TVCAPI/tvcapi.h"
#include "TVCAPI/tvcapi_internal.h"

std::int32_t tvxCAPIGetCertificate(StoreList* stores, const char* subjectSpec,
                                   const char* issuerSpec, std::uint32_t flags,
                                   std::uint32_t keyUsage, TVCAPIHandle** cert) {
  if (stores == nullptr || cert == nullptr) return TVCAPI_BAD_ARGUMENT;
  PCCERT_CONTEXT found = nullptr;
  const std::int32_t rc = tvxCAPIFindCertificate(stores, subjectSpec, issuerSpec, flags, keyUsage,
                                                 tvxCAPISelectCertificate, &found);
  if (rc != TVCAPI_OK) return rc;
  TVCAPIHandle* handle = nullptr;
  const std::int32_t created =
      tvxCAPICreateHandle(&handle, TVCAPI_CERTIFICATE, const_cast<CERT_CONTEXT*>(found),
                          &tvxCAPICertificateCoder, nullptr);
  if (created != TVCAPI_OK) {
    CertFreeCertificateContext(found);
    return created;
  }
  *cert = handle;
  return TVCAPI_OK;
}

extern "C" int32_t TVXCAPI_GetCertificate(TVCAPIHandle* store, const char* subjectSpec,
                                          const char* issuerSpec, uint32_t flags, uint32_t keyUsage,
                                          TVCAPIHandle** cert) {
  if (store == nullptr || store->data == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (store->type != TVCAPI_STORE_LIST) return TVCAPI_WRONG_HANDLE_TYPE;
  return tvxCAPIGetCertificate(static_cast<StoreList*>(store->data), subjectSpec, issuerSpec, flags,
                               keyUsage, cert);
}

extern "C" int32_t TVXCAPI_GetCertificateFromStores(const char* subjectSpec, const char* issuerSpec,
                                                    uint32_t flags, uint32_t keyUsage,
                                                    TVCAPIHandle** cert) {
  TVCAPIHandle* store = nullptr;
  const std::int32_t opened = (flags & TVCAPI_FROM_STORE_FILE) != 0
                                  ? TVXCAPI_LoadStoreFromStoreFile(&store)
                                  : TVXCAPI_LoadStore(&store, TVCAPI_USER_MY, 0);
  if (opened != TVCAPI_OK) return opened;
  const std::int32_t rc =
      TVXCAPI_GetCertificate(store, subjectSpec, issuerSpec, flags, keyUsage, cert);
  tvxCAPIClearDialogMessage();
  TVXCAPI_FreeHandle(store);
  return rc;
}
