// Certificate stores: an in-process list of contexts, filled when the store opens, from a
// system-store folder, a file, or nothing (a memory store). A system store also writes each
// change through to its folder.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/cryptoapi/certs/context.h"

namespace kestrune::cryptoapi {

enum class StoreKind { memory, system, file };

struct Store {
  long refs = 1;  // open handles plus references to its contexts held outside
  StoreKind kind = StoreKind::memory;
  bool readOnly = false;
  std::string folder;  // a system store's folder
  // Its certificates in the order added; one reference each. A deleted or replaced one stays
  // (not listed) until the store goes, so enumeration keeps its place.
  std::vector<CertRecord*> certs;
};

inline Store* storeOf(HCERTSTORE handle) {
  return static_cast<Store*>(handle);
}
void retainStore(Store* store);
void releaseStore(Store* store);

// list appends a record the store now owns (its one reference moves to the list).
void list(Store& store, CertRecord* record);
// find returns the listed record with the same SHA-1, or nullptr.
CertRecord* find(const Store& store, const CertRecord& like);

// System-store folders. systemStoreFolder maps a location and a store name to its folder;
// false for a name that can't be a folder's. loadSystemStore checks access and lists the
// folder's certificates; 0, ERROR_ACCESS_DENIED, or for a missing folder that must exist
// ERROR_FILE_NOT_FOUND, for an existing one that must be new ERROR_FILE_EXISTS.
bool systemStoreFolder(DWORD location, std::wstring_view name, std::string& folder);
DWORD loadSystemStore(Store& store, bool mustExist = false, bool mustBeNew = false);
// Write-through of a system store; 0 or the CryptoAPI code.
DWORD saveCertificate(const Store& store, const CertRecord& record);
DWORD saveKeyProv(const Store& store, const CertRecord& record);
DWORD forgetCertificate(const Store& store, const CertRecord& record);

// File stores: the file's certificates (with their properties when it is a saved store).
DWORD loadStoreFile(Store& store, const std::string& path);
// readStoreBytes reads a saved store, a PKCS#7 bundle or a certificate (DER or PEM) into
// records with one reference each; 0 or the CryptoAPI code (records left empty).
DWORD readStoreBytes(ByteView bytes, std::vector<CertRecord*>& records);

}  // namespace kestrune::cryptoapi
