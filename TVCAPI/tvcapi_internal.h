// What the parts of TVCAPI share beyond the public header: the store list, the key record and
// the selection-dialog message. Written against CryptoAPI only (platform/cryptoapi.h).
#pragma once

#include <cstdint>

#include "TVCAPI/tvcapi.h"
#include "platform/cryptoapi.h"

// At most nine open stores, closed together when the list is released.
inline constexpr std::uint32_t kStoreListSlots = 9;
struct StoreList {
  std::uint32_t count;
  HCERTSTORE stores[kStoreListSlots];
};

// The object of a key handle: the provider context the key lives in, the key, its spec.
struct TVCAPIKeyRecord {
  HCRYPTPROV provider;
  HCRYPTKEY key;
  DWORD keySpec;
};

// The selection-dialog message set by TVXCAPI_SetDialogMessage: the next selection dialog
// shows it and then discards it; the lookup from the user's stores clears it afterwards.
// tvxCAPIDialogMessage returns null when none is set; length, when given, receives its length.
const char* tvxCAPIDialogMessage(std::uint32_t* length);
void tvxCAPIClearDialogMessage();

// The lookup over a store list (the work of TVXCAPI_GetCertificate and
// TVXCAPI_GetCertificateFromStores).
std::int32_t tvxCAPIGetCertificate(StoreList* stores, const char* subjectSpec,
                                   const char* issuerSpec, std::uint32_t flags,
                                   std::uint32_t keyUsage, TVCAPIHandle** cert);

// Closes every store of the list and frees it.
void tvxCAPIReleaseStoreList(StoreList* list);

// The library-wide PIN cache forgets a key's PIN (wiping it) when that key goes.
void tvxCAPIForgetPin(const TVCAPIKeyRecord* key);
// Wipes the PIN cache whatever key it was for.
void tvxCAPIWipePinCache();
// Releases a key record: the key destroyed, its provider released, the PIN cache wiped.
void tvxCAPIReleaseKeyRecord(TVCAPIKeyRecord* key);

// The certificate's key-provider property, read size first into memory the caller frees;
// null with code set (5204 when there is none) otherwise.
CRYPT_KEY_PROV_INFO* tvxCAPIKeyProvInfo(PCCERT_CONTEXT context, std::int32_t& code,
                                        const char* operation);
// The property's provider name (and container name, when asked) in the ANSI code page.
std::int32_t tvxCAPIProviderNames(const CRYPT_KEY_PROV_INFO& info, char** provider,
                                  char** container);
