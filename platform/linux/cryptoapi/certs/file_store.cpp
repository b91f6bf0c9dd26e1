// The file-name store provider: a store saved by CertSaveStore (CERT_STORE_SAVE_AS_STORE), a
// PKCS#7 bundle, or one certificate, DER or PEM.
//
// A saved store is an 8-byte header (four zero bytes, then "CERT") and a run of records, each
// a 12-byte header (property id, the constant 1, data length; 32-bit little-endian) and its
// data. A certificate's properties come before its element (id 32, the certificate's DER);
// a record of zeros ends the store.
#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "common/der.h"
#include "common/ptr.h"
#include "platform/linux/cryptoapi/certs/pkcs7_ptr.h"
#include "platform/linux/cryptoapi/certs/store.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxStoreFile = 64 << 20;
constexpr std::uint8_t kSavedStoreHeader[] = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
constexpr DWORD kCrlPropId = 33;
constexpr DWORD kCtlPropId = 34;
constexpr DWORD kKeyProvHandlePropId = 1;
constexpr DWORD kMd5HashPropId = 4;
constexpr DWORD kKeyContextPropId = 5;

DWORD dwordAt(ByteView bytes, std::size_t at) {
  return DWORD{bytes[at]} | (DWORD{bytes[at + 1]} << 8) | (DWORD{bytes[at + 2]} << 16) |
         (DWORD{bytes[at + 3]} << 24);
}

void discard(std::vector<CertRecord*>& records) {
  for (CertRecord* record : records) delete record;
  records.clear();
}

DWORD readSavedStore(ByteView bytes, std::vector<CertRecord*>& records) {
  std::optional<KeyProvInfo> keyProv;
  std::map<DWORD, Bytes> blobs;
  std::size_t at = sizeof kSavedStoreHeader;
  while (at < bytes.size()) {
    if (bytes.size() - at < 12) return CRYPT_E_FILE_ERROR;
    const DWORD id = dwordAt(bytes, at);
    const DWORD constant = dwordAt(bytes, at + 4);
    const DWORD length = dwordAt(bytes, at + 8);
    at += 12;
    if (id == 0) break;
    if (constant != 1 || length > bytes.size() - at) return CRYPT_E_FILE_ERROR;
    const ByteView data = bytes.subspan(at, length);
    at += length;
    if (id == kCertPropId) {
      DWORD error = 0;
      CertRecord* record = newRecord(data, error);
      if (record == nullptr) return error;
      record->keyProv = std::move(keyProv);
      record->blobProps = std::move(blobs);
      keyProv.reset();
      blobs.clear();
      records.push_back(record);
    } else if (id == kCrlPropId || id == kCtlPropId) {
      // Revocation lists and trust lists have no place in this layer; their properties go.
      keyProv.reset();
      blobs.clear();
    } else if (id == CERT_KEY_PROV_INFO_PROP_ID) {
      KeyProvInfo info;
      if (!readSerializedKeyProvInfo(data, info)) return CRYPT_E_FILE_ERROR;
      keyProv = std::move(info);
    } else if (id != CERT_SHA1_HASH_PROP_ID && id != kMd5HashPropId && id != kKeyProvHandlePropId &&
               id != kKeyContextPropId) {
      // Hashes are computed again from the certificate; handles mean nothing in a file.
      blobs[id] = Bytes(data.begin(), data.end());
    }
  }
  return 0;
}

DWORD readBundle(PKCS7* bundle, std::vector<CertRecord*>& records) {
  if (bundle == nullptr || !PKCS7_type_is_signed(bundle) || bundle->d.sign == nullptr)
    return kNoMatch;
  const STACK_OF(X509)* certs = bundle->d.sign->cert;
  for (int i = 0; certs != nullptr && i < sk_X509_num(certs); ++i) {
    Bytes der;
    if (!toDer(sk_X509_value(certs, i), i2d_X509, der)) return CRYPT_E_ASN1_CORRUPT;
    DWORD error = 0;
    CertRecord* record = newRecord(der, error);
    if (record == nullptr) return error;
    records.push_back(record);
  }
  return 0;
}

// Text: the first PEM block, as CryptoAPI takes one object from a Base64 file.
DWORD readPem(ByteView bytes, std::vector<CertRecord*>& records) {
  Ptr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  if (!bio || PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) return kNoMatch;
  Ptr<char> nameOwner(name), headerOwner(header);
  Ptr<unsigned char> dataOwner(data);
  const std::string_view label(name);
  const ByteView der(data, static_cast<std::size_t>(length));
  if (label == "PKCS7" || label == "CERTIFICATE CHAIN") {
    const unsigned char* p = data;
    Ptr<PKCS7> bundle(d2i_PKCS7(nullptr, &p, length));
    return readBundle(bundle.get(), records);
  }
  if (label != "CERTIFICATE" && label != "X509 CERTIFICATE") return kNoMatch;
  DWORD error = 0;
  CertRecord* record = newRecord(der, error);
  if (record == nullptr) return error;
  records.push_back(record);
  return 0;
}

}  // namespace

DWORD readStoreBytes(ByteView bytes, std::vector<CertRecord*>& records) {
  records.clear();
  if (bytes.empty()) return 0;
  DWORD error;
  if (bytes.size() >= sizeof kSavedStoreHeader &&
      std::equal(std::begin(kSavedStoreHeader), std::end(kSavedStoreHeader), bytes.begin())) {
    error = readSavedStore(bytes, records);
  } else if (bytes[0] == 0x30) {
    const unsigned char* p = bytes.data();
    Ptr<PKCS7> bundle(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
    if (bundle) {
      error = readBundle(bundle.get(), records);
    } else {
      CertRecord* record = newRecord(bytes, error);
      if (record != nullptr) records.push_back(record);
      error = record != nullptr ? 0 : error;
    }
  } else {
    error = bytes.size() <= 0x7FFFFFFF ? readPem(bytes, records) : kNoMatch;
  }
  if (error != 0) discard(records);
  return error;
}

DWORD loadStoreFile(Store& store, const std::string& path) {
  // Non-blocking, and a regular file only: the store file sits in the shared temporary folder,
  // where anyone may have put a FIFO under its name.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  }
  struct stat info {};
  DWORD error = 0;
  Bytes bytes;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = ERROR_ACCESS_DENIED;
  } else if (static_cast<std::uint64_t>(info.st_size) > kMaxStoreFile) {
    error = CRYPT_E_FILE_ERROR;
  } else {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done != bytes.size()) error = ERROR_READ_FAULT;
  }
  close(fd);
  if (error != 0) return error;
  std::vector<CertRecord*> records;
  if (const DWORD read = readStoreBytes(bytes, records); read != 0) return read;
  for (CertRecord* record : records) list(store, record);
  return 0;
}

}  // namespace kestrune::cryptoapi
