// The store calls: opening by provider, enumeration, adding with CryptoAPI's dispositions,
// deleting and closing.
#include <algorithm>

#include "platform/linux/cryptoapi/certs/store.h"

namespace kestrune::cryptoapi {
namespace {

constexpr DWORD kLocationMask = 0x00FF0000;  // CERT_SYSTEM_STORE_LOCATION_MASK

HCERTSTORE opened(std::unique_ptr<Store> store, DWORD error) {
  if (error != 0) {
    for (CertRecord* record : store->certs) delete record;
    SetLastError(error);
    return nullptr;
  }
  return store.release();
}

HCERTSTORE openSystem(DWORD flags, const wchar_t* name) {
  if (name == nullptr) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  auto store = std::make_unique<Store>();
  store->kind = StoreKind::system;
  store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  if (!systemStoreFolder(flags & kLocationMask, name, store->folder)) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  const DWORD error = loadSystemStore(*store, flags & CERT_STORE_OPEN_EXISTING_FLAG,
                                      flags & CERT_STORE_CREATE_NEW_FLAG);
  return opened(std::move(store), error);
}

// The record a caller's context names, or nullptr when it isn't one.
BOOL addRecord(Store& store, CertRecord& source, DWORD disposition, PCCERT_CONTEXT* out) {
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS)
    return fail(kInvalidArg);
  if (store.readOnly) return fail(ERROR_ACCESS_DENIED);
  CertRecord* existing = disposition == CERT_STORE_ADD_ALWAYS ? nullptr : find(store, source);
  CertRecord* result = nullptr;
  if (existing != nullptr && disposition == CERT_STORE_ADD_NEW) return fail(CRYPT_E_EXISTS);
  if (existing != nullptr && disposition == CERT_STORE_ADD_USE_EXISTING) {
    // The existing certificate stays; the new one's properties are added to it.
    const auto keyProv = existing->keyProv;
    if (source.keyProv) existing->keyProv = source.keyProv;
    for (const auto& [id, value] : source.blobProps) existing->blobProps[id] = value;
    if (store.kind == StoreKind::system && source.keyProv) {
      if (const DWORD error = saveKeyProv(store, *existing); error != 0) {
        existing->keyProv = keyProv;
        return fail(error);
      }
    }
    result = existing;
  } else {
    DWORD error = 0;
    CertRecord* fresh = copyRecord(source, error);
    if (fresh == nullptr) return fail(error);
    if (store.kind == StoreKind::system) {
      if (const DWORD saved = saveCertificate(store, *fresh); saved != 0) {
        delete fresh;
        return fail(saved);
      }
    }
    if (existing != nullptr) {
      // Replaced: the old context stays valid for its holders but leaves the store.
      existing->listed = false;
    }
    list(store, fresh);
    result = fresh;
  }
  if (out != nullptr) {
    retainRecord(result);
    *out = &result->context;
  }
  return TRUE;
}

}  // namespace

void retainStore(Store* store) {
  ++store->refs;
}

void releaseStore(Store* store) {
  if (--store->refs > 0) return;
  for (CertRecord* record : store->certs) {
    record->listed = false;
    record->owner = nullptr;
    if (--record->refs == 0) delete record;
  }
  delete store;
}

void list(Store& store, CertRecord* record) {
  record->owner = &store;
  record->listed = true;
  record->context.hCertStore = &store;
  store.certs.push_back(record);
}

CertRecord* find(const Store& store, const CertRecord& like) {
  const auto it = std::find_if(store.certs.begin(), store.certs.end(), [&](const CertRecord* r) {
    return r->listed && r->sha1 == like.sha1;
  });
  return it != store.certs.end() ? *it : nullptr;
}

}  // namespace kestrune::cryptoapi

using namespace kestrune::cryptoapi;

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR subsystemProtocol) {
  if (subsystemProtocol == nullptr) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  std::wstring name;
  for (const char* c = subsystemProtocol; *c != '\0'; ++c)
    name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
  return openSystem(CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
}

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD, HCRYPTPROV_LEGACY, DWORD flags,
                         const void* para) {
  std::lock_guard lock(stateLock());
  if (storeProvider == CERT_STORE_PROV_MEMORY) {
    auto store = std::make_unique<Store>();
    store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    return store.release();
  }
  if (storeProvider == CERT_STORE_PROV_SYSTEM_W)
    return openSystem(flags, static_cast<const wchar_t*>(para));
  if (storeProvider == CERT_STORE_PROV_FILENAME_W) {
    const auto* path = static_cast<const wchar_t*>(para);
    if (path == nullptr || *path == L'\0') {
      SetLastError(kInvalidArg);
      return nullptr;
    }
    auto store = std::make_unique<Store>();
    store->kind = StoreKind::file;
    store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    const DWORD error = loadStoreFile(*store, utf8Of(path));
    return opened(std::move(store), error);
  }
  // CryptoAPI looks other providers up among installed modules and finds none.
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

BOOL CertCloseStore(HCERTSTORE store, DWORD) {
  // Contexts handed out keep the store alive until they are freed, so even a forced close
  // leaves them valid.
  if (store == nullptr) return TRUE;
  std::lock_guard lock(stateLock());
  releaseStore(storeOf(store));
  return TRUE;
}

// Microsoft leaves the order open. A store lists its certificates in the order they were added
// (a system store's as read, by thumbprint); a replacement goes to the end, so that an
// enumeration under way still reaches it.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE handle, PCCERT_CONTEXT previous) {
  if (handle == nullptr) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  std::lock_guard lock(stateLock());
  Store& store = *storeOf(handle);
  std::size_t at = 0;
  if (previous != nullptr) {
    const auto it = std::find(store.certs.begin(), store.certs.end(), recordOf(previous));
    at = it == store.certs.end() ? store.certs.size()
                                 : static_cast<std::size_t>(it - store.certs.begin()) + 1;
  }
  // Deleted certificates keep their place, so an enumeration that deletes as it goes carries
  // on after them.
  while (at < store.certs.size() && !store.certs[at]->listed) ++at;
  CertRecord* next = at < store.certs.size() ? store.certs[at] : nullptr;
  if (next != nullptr) retainRecord(next);
  if (previous != nullptr) releaseRecord(recordOf(previous));
  if (next == nullptr) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return &next->context;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context,
                                      DWORD addDisposition, PCCERT_CONTEXT* storeContext) {
  if (storeContext != nullptr) *storeContext = nullptr;
  if (store == nullptr || context == nullptr) return fail(kInvalidArg);
  std::lock_guard lock(stateLock());
  return addRecord(*storeOf(store), *recordOf(context), addDisposition, storeContext);
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encodingType, const BYTE* encoded,
                                      DWORD encodedLength, DWORD addDisposition,
                                      PCCERT_CONTEXT* storeContext) {
  if (storeContext != nullptr) *storeContext = nullptr;
  if (store == nullptr) return fail(kInvalidArg);
  PCCERT_CONTEXT created = CertCreateCertificateContext(encodingType, encoded, encodedLength);
  if (created == nullptr) return FALSE;
  std::lock_guard lock(stateLock());
  const BOOL added = addRecord(*storeOf(store), *recordOf(created), addDisposition, storeContext);
  const DWORD error = GetLastError();
  releaseRecord(recordOf(created));
  if (!added) SetLastError(error);
  return added;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
  if (context == nullptr) return fail(kInvalidArg);
  std::lock_guard lock(stateLock());
  CertRecord* record = recordOf(context);
  Store* store = record->listed ? record->owner : nullptr;
  DWORD error = 0;
  if (store != nullptr && store->readOnly) {
    error = ERROR_ACCESS_DENIED;
  } else if (store != nullptr) {
    if (store->kind == StoreKind::system) error = forgetCertificate(*store, *record);
    if (error == 0) record->listed = false;  // the caller's reference is released below
  }
  releaseRecord(record);
  return error == 0 ? TRUE : fail(error);
}
