// CERT_INFO from OpenSSL's parse, in CryptoAPI's forms: the serial least significant byte
// first (the DER INTEGER's content reversed, a leading 00 kept), the names as their DER, the
// times as FILETIMEs, algorithm parameters and extension values as DER.
#include <ctime>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "common/der.h"
#include "platform/linux/cryptoapi/certs/cert_names.h"
#include "platform/linux/cryptoapi/certs/context.h"
#include "platform/linux/cryptoapi/certs/der_tlv.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::int64_t kFileTimeEpochOffset = 11644473600;  // 1601 to 1970, seconds
constexpr std::int64_t kTicksPerSecond = 10000000;

BYTE* keep(CertRecord& record, Bytes bytes) {
  if (bytes.empty()) return nullptr;
  record.blobs.push_back(std::move(bytes));
  return record.blobs.back().data();
}

char* keepText(CertRecord& record, std::string text) {
  record.texts.push_back(std::move(text));
  return record.texts.back().data();
}

char* oidOf(CertRecord& record, const ASN1_OBJECT* object) {
  char small[128];
  const int length = OBJ_obj2txt(small, sizeof small, object, 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof small) return nullptr;
  return keepText(record, std::string(small, static_cast<std::size_t>(length)));
}

bool algorithmOf(CertRecord& record, const X509_ALGOR* algorithm, CRYPT_ALGORITHM_IDENTIFIER& out) {
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  out.pszObjId = object != nullptr ? oidOf(record, object) : nullptr;
  if (out.pszObjId == nullptr) return false;
  Bytes parameters;
  if (algorithm->parameter != nullptr) toDer(algorithm->parameter, i2d_ASN1_TYPE, parameters);
  out.Parameters.cbData = static_cast<DWORD>(parameters.size());
  out.Parameters.pbData = keep(record, std::move(parameters));
  return true;
}

bool fileTimeOf(const ASN1_TIME* time, FILETIME& out) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  const std::int64_t seconds = timegm(&tm) + kFileTimeEpochOffset;
  const std::uint64_t ticks =
      seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds) * kTicksPerSecond;
  out = FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  return true;
}

CERT_NAME_BLOB nameOf(CertRecord& record, ByteView name) {
  return CERT_NAME_BLOB{static_cast<DWORD>(name.size()),
                        keep(record, Bytes(name.begin(), name.end()))};
}

}  // namespace

bool fillCertInfo(CertRecord& record) {
  X509* cert = record.x509.get();
  CERT_INFO& info = record.info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(cert));

  Bytes serial;
  if (!toDer(X509_get0_serialNumber(cert), i2d_ASN1_INTEGER, serial)) return false;
  der::Reader reader(serial);
  const auto integer = reader.next(der::kInteger);
  if (!integer) return false;
  Bytes littleEndian = der::littleEndianOf(integer->content);
  info.SerialNumber.cbData = static_cast<DWORD>(littleEndian.size());
  info.SerialNumber.pbData = keep(record, std::move(littleEndian));

  if (!algorithmOf(record, X509_get0_tbs_sigalg(cert), info.SignatureAlgorithm)) return false;
  // The names as encoded, from the DER: OpenSSL's view may hold them empty (see newRecord).
  const auto names = certNamesOf(record.der);
  if (!names) return false;
  info.Issuer = nameOf(record, names->issuer);
  info.Subject = nameOf(record, names->subject);
  if (!fileTimeOf(X509_get0_notBefore(cert), info.NotBefore) ||
      !fileTimeOf(X509_get0_notAfter(cert), info.NotAfter)) {
    return false;
  }

  X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(cert);
  X509_ALGOR* keyAlgorithm = nullptr;
  if (publicKey == nullptr ||
      X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &keyAlgorithm, publicKey) != 1 ||
      !algorithmOf(record, keyAlgorithm, info.SubjectPublicKeyInfo.Algorithm)) {
    return false;
  }
  const ASN1_BIT_STRING* keyBits = X509_get0_pubkey_bitstr(cert);
  if (keyBits == nullptr) return false;
  const auto* keyData = ASN1_STRING_get0_data(keyBits);
  info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(ASN1_STRING_length(keyBits));
  info.SubjectPublicKeyInfo.PublicKey.pbData =
      keep(record, Bytes(keyData, keyData + ASN1_STRING_length(keyBits)));
  info.SubjectPublicKeyInfo.PublicKey.cUnusedBits =
      (keyBits->flags & ASN1_STRING_FLAG_BITS_LEFT) != 0 ? (keyBits->flags & 0x07) : 0;

  const STACK_OF(X509_EXTENSION)* extensions = X509_get0_extensions(cert);
  const int count = extensions != nullptr ? sk_X509_EXTENSION_num(extensions) : 0;
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
    CERT_EXTENSION out{};
    out.pszObjId = oidOf(record, X509_EXTENSION_get_object(extension));
    if (out.pszObjId == nullptr) return false;
    out.fCritical = X509_EXTENSION_get_critical(extension) ? TRUE : FALSE;
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(extension);
    const auto* data = ASN1_STRING_get0_data(value);
    out.Value.cbData = static_cast<DWORD>(ASN1_STRING_length(value));
    out.Value.pbData = keep(record, Bytes(data, data + ASN1_STRING_length(value)));
    record.extensions.push_back(out);
  }
  info.cExtension = static_cast<DWORD>(record.extensions.size());
  info.rgExtension = record.extensions.empty() ? nullptr : record.extensions.data();
  return true;
}

}  // namespace kestrune::cryptoapi
