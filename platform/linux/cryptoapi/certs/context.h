// Certificate contexts: a private record whose first member is the CERT_CONTEXT a caller
// holds, so a PCCERT_CONTEXT leads back to it. The record owns the DER, the CERT_INFO and
// everything it points to, and the properties; it is reference-counted.
//
// References: a store's list holds one reference on each of its records; a reference handed
// out of a store (enumeration, add, duplicate) also holds one on the store, so a closed store
// lives on until its last context is freed, as CryptoAPI's do.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "common/ptr.h"
#include "platform/linux/cryptoapi/certs/key_prov_info.h"

namespace kestrune::cryptoapi {

struct Store;

struct CertRecord {
  CERT_CONTEXT context{};  // first member: PCCERT_CONTEXT maps back to the record
  CERT_INFO info{};
  long refs = 1;
  Store* owner = nullptr;  // the store it was added to (hCertStore), or none
  bool listed = false;     // in the owner's list and not deleted from it
  Bytes der;
  Ptr<X509> x509;
  std::array<std::uint8_t, 20> sha1{};
  std::optional<KeyProvInfo> keyProv;
  std::map<DWORD, Bytes> blobProps;  // other properties, as CRYPT_DATA_BLOB contents
  // The names (without ".der") of the system store's files the certificate was read from: its
  // thumbprint, and any copy of it under another name.
  std::vector<std::string> storeFiles;
  // Storage of the CERT_INFO's texts and blobs.
  std::deque<Bytes> blobs;
  std::deque<std::string> texts;
  std::vector<CERT_EXTENSION> extensions;
};

inline CertRecord* recordOf(PCCERT_CONTEXT context) {
  return reinterpret_cast<CertRecord*>(const_cast<CERT_CONTEXT*>(context));
}

// newRecord decodes a certificate into a record with one reference and no store; nullptr
// with error set to CryptoAPI's code. The context carries encodingType as given, as
// CryptoAPI keeps the caller's (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING stays 0x10001).
CertRecord* newRecord(ByteView der, DWORD& error, DWORD encodingType = X509_ASN_ENCODING);
// copyRecord makes a new record of the same certificate, encoding type and properties.
CertRecord* copyRecord(const CertRecord& from, DWORD& error);
// A reference handed out to a caller (retain) and given back (release), under stateLock().
void retainRecord(CertRecord* record);
void releaseRecord(CertRecord* record);

// The SHA-1 thumbprint as 40 uppercase hex digits.
std::string thumbprintHex(const CertRecord& record);

// fillCertInfo sets record.info from record.x509, the names from record.der (OpenSSL may have
// read a copy with empty names); false when a field can't be read.
bool fillCertInfo(CertRecord& record);

}  // namespace kestrune::cryptoapi
