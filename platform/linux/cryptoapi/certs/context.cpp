#include <algorithm>
#include <memory>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/linux/cryptoapi/certs/cert_names.h"
#include "platform/linux/cryptoapi/certs/context.h"
#include "platform/linux/cryptoapi/certs/der_tlv.h"
#include "platform/linux/cryptoapi/certs/name_model.h"
#include "platform/linux/cryptoapi/certs/store.h"

namespace kestrune::cryptoapi {
namespace {

constexpr DWORD kKeyProvHandlePropId = 1;  // CERT_KEY_PROV_HANDLE_PROP_ID
constexpr DWORD kKeyContextPropId = 5;     // CERT_KEY_CONTEXT_PROP_ID
constexpr DWORD kMd5HashPropId = 4;        // CERT_MD5_HASH_PROP_ID

// The significant bytes of a little-endian integer: high-order sign bytes dropped.
ByteView significant(const CRYPT_INTEGER_BLOB& blob) {
  if (blob.pbData == nullptr) return {};
  ByteView bytes(blob.pbData, blob.cbData);
  while (bytes.size() > 1) {
    const std::uint8_t top = bytes.back();
    const std::uint8_t next = bytes[bytes.size() - 2];
    if ((top == 0x00 && next < 0x80) || (top == 0xFF && next >= 0x80)) {
      bytes = bytes.first(bytes.size() - 1);
    } else {
      break;
    }
  }
  return bytes;
}

Ptr<X509> wholeX509(ByteView der) {
  const unsigned char* p = der.data();
  Ptr<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (p != der.data() + der.size()) x509.reset();
  return x509;
}

// openSslView is OpenSSL's parse of a certificate. OpenSSL refuses names with values that are
// no directory string, which CryptoAPI keeps: when our own decoder reads both names, OpenSSL
// reads the rest from a copy with empty names (CERT_INFO takes the names from the DER).
Ptr<X509> openSslView(ByteView der) {
  if (Ptr<X509> x509 = wholeX509(der)) return x509;
  const auto names = certNamesOf(der);
  NameModel ignored;
  DWORD error = 0;
  if (!names || !decodeName(names->issuer, ignored, error) ||
      !decodeName(names->subject, ignored, error)) {
    return nullptr;
  }
  const Bytes copy = withEmptyNames(der);
  return copy.empty() ? nullptr : wholeX509(copy);
}

bool sameBytes(ByteView a, ByteView b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

CertRecord* newRecord(ByteView der, DWORD& error, DWORD encodingType) {
  der::Reader reader(der);
  if (der.empty()) {
    error = kAsn1Eod;
    return nullptr;
  }
  if (reader.peekTag() != der::kSequence) {
    error = CRYPT_E_ASN1_BADTAG;
    return nullptr;
  }
  const auto element = reader.next();
  if (!element) {
    error = kAsn1Eod;
    return nullptr;
  }
  auto record = std::make_unique<CertRecord>();
  record->der.assign(element->whole.begin(), element->whole.end());
  record->x509 = openSslView(record->der);
  if (!record->x509 || !fillCertInfo(*record)) {
    error = CRYPT_E_ASN1_CORRUPT;
    return nullptr;
  }
  unsigned int digestLength = 0;
  if (EVP_Digest(record->der.data(), record->der.size(), record->sha1.data(), &digestLength,
                 EVP_sha1(), nullptr) != 1) {
    error = NTE_FAIL;
    return nullptr;
  }
  record->context = CERT_CONTEXT{encodingType, record->der.data(),
                                 static_cast<DWORD>(record->der.size()), &record->info, nullptr};
  return record.release();
}

CertRecord* copyRecord(const CertRecord& from, DWORD& error) {
  CertRecord* record = newRecord(from.der, error, from.context.dwCertEncodingType);
  if (record != nullptr) {
    record->keyProv = from.keyProv;
    record->blobProps = from.blobProps;
  }
  return record;
}

void retainRecord(CertRecord* record) {
  std::lock_guard lock(stateLock());
  ++record->refs;
  if (record->owner != nullptr) retainStore(record->owner);
}

void releaseRecord(CertRecord* record) {
  std::lock_guard lock(stateLock());
  Store* owner = record->owner;
  const bool last = --record->refs == 0;
  if (last) delete record;
  if (owner != nullptr) releaseStore(owner);
}

std::string thumbprintHex(const CertRecord& record) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : record.sha1) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

}  // namespace kestrune::cryptoapi

using namespace kestrune::cryptoapi;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encodingType, const BYTE* encoded,
                                            DWORD encodedLength) {
  if (!hasX509Encoding(encodingType)) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  DWORD error = 0;
  CertRecord* record = newRecord(encoded != nullptr ? ByteView(encoded, encodedLength) : ByteView(),
                                 error, encodingType);
  if (record == nullptr) SetLastError(error);
  return record != nullptr ? &record->context : nullptr;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  if (context != nullptr) retainRecord(recordOf(context));
  return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  if (context != nullptr) releaseRecord(recordOf(context));
  return TRUE;
}

BOOL CertCompareCertificate(DWORD, PCERT_INFO first, PCERT_INFO second) {
  if (first == nullptr || second == nullptr) return FALSE;
  const ByteView issuerA(first->Issuer.pbData, first->Issuer.pbData ? first->Issuer.cbData : 0);
  const ByteView issuerB(second->Issuer.pbData, second->Issuer.pbData ? second->Issuer.cbData : 0);
  return sameBytes(issuerA, issuerB) &&
                 sameBytes(significant(first->SerialNumber), significant(second->SerialNumber))
             ? TRUE
             : FALSE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                       DWORD* length) {
  if (context == nullptr || length == nullptr) return fail(kInvalidArg);
  std::lock_guard lock(stateLock());
  const CertRecord& record = *recordOf(context);
  if (propId == CERT_KEY_PROV_INFO_PROP_ID) {
    if (!record.keyProv) return fail(CRYPT_E_NOT_FOUND);
    return deliverKeyProvInfo(*record.keyProv, data, length);
  }
  if (const auto it = record.blobProps.find(propId); it != record.blobProps.end())
    return copyOut(it->second, data, length);
  if (propId == CERT_SHA1_HASH_PROP_ID) return copyOut(record.sha1, data, length);
  if (propId == kMd5HashPropId) {
    std::uint8_t md5[16];
    unsigned int size = 0;
    if (EVP_Digest(record.der.data(), record.der.size(), md5, &size, EVP_md5(), nullptr) != 1)
      return fail(NTE_FAIL);
    return copyOut(ByteView(md5, size), data, length);
  }
  return fail(CRYPT_E_NOT_FOUND);
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD,
                                       const void* data) {
  if (context == nullptr || propId == 0 || propId == kKeyProvHandlePropId ||
      propId == kKeyContextPropId) {
    return fail(kInvalidArg);
  }
  std::lock_guard lock(stateLock());
  CertRecord& record = *recordOf(context);
  if (propId != CERT_KEY_PROV_INFO_PROP_ID) {
    if (data == nullptr) {
      record.blobProps.erase(propId);
      return TRUE;
    }
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
    if (blob->cbData != 0 && blob->pbData == nullptr) return fail(kInvalidArg);
    record.blobProps[propId] = Bytes(blob->pbData, blob->pbData + blob->cbData);
    return TRUE;
  }
  std::optional<KeyProvInfo> value;
  if (data != nullptr) {
    KeyProvInfo info;
    if (!keyProvInfoOf(*static_cast<const CRYPT_KEY_PROV_INFO*>(data), info))
      return fail(kInvalidArg);
    value = std::move(info);
  }
  // A system store keeps the property beside the certificate's file.
  Store* store = record.listed ? record.owner : nullptr;
  if (store != nullptr && store->kind == StoreKind::system && store->readOnly)
    return fail(ERROR_ACCESS_DENIED);
  std::swap(record.keyProv, value);
  if (store != nullptr && store->kind == StoreKind::system) {
    if (const DWORD error = saveKeyProv(*store, record); error != 0) {
      std::swap(record.keyProv, value);
      return fail(error);
    }
  }
  return TRUE;
}
