// Signer information (PKCS7_SIGNER_INFO): the fixture message's own decoded and encoded back,
// and one made here, with authenticated attributes, encoded and decoded back.
#include <cstddef>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// One DER element inside [at, end): its tag, where its content starts and how long it is.
struct Element {
  std::uint8_t tag = 0;
  std::size_t content = 0;
  std::size_t length = 0;
  std::size_t end() const { return content + length; }
};

// readElement reads the element at `at`; false when it doesn't fit before `end` (short and
// long lengths up to four bytes, which is all the fixture needs).
bool readElement(const Bytes& der, std::size_t at, std::size_t end, Element& e) {
  if (at + 2 > end) return false;
  e.tag = der[at];
  std::size_t length = der[at + 1];
  std::size_t header = 2;
  if (length & 0x80) {
    std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || at + 2 + count > end) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | der[at + 2 + i];
    header += count;
  }
  e.content = at + header;
  e.length = length;
  return e.content + length <= end;
}

// firstSignerInfo finds, in ContentInfo { contentType, [0] SignedData { version,
// digestAlgorithms, encapContentInfo, [0] certificates OPTIONAL, [1] crls OPTIONAL,
// signerInfos SET } }, the first SignerInfo's bytes.
Bytes firstSignerInfo(const Bytes& der) {
  Element info, type, wrapper, signedData;
  if (!readElement(der, 0, der.size(), info) || !readElement(der, info.content, info.end(), type) ||
      !readElement(der, type.end(), info.end(), wrapper) ||
      !readElement(der, wrapper.content, wrapper.end(), signedData))
    return {};
  std::size_t at = signedData.content;
  Element e;
  while (readElement(der, at, signedData.end(), e)) {
    if (e.tag == 0x31 && at != signedData.content) {
      Element signer;
      // The digest algorithms are a SET as well: the signer infos are the last one.
      if (e.end() == signedData.end() && readElement(der, e.content, e.end(), signer))
        return Bytes(der.begin() + static_cast<std::ptrdiff_t>(e.content),
                     der.begin() + static_cast<std::ptrdiff_t>(signer.end()));
    }
    at = e.end();
  }
  return {};
}

std::string algorithm(const CRYPT_ALGORITHM_IDENTIFIER& a) {
  return std::string(a.pszObjId != nullptr ? a.pszObjId : "(null)") + " " +
         hex(a.Parameters.pbData, a.Parameters.cbData);
}

std::string attributes(const CRYPT_ATTRIBUTES& attrs) {
  std::string text = std::to_string(attrs.cAttr);
  for (DWORD i = 0; i < attrs.cAttr; ++i) {
    text += std::string(" ") + attrs.rgAttr[i].pszObjId + "[";
    for (DWORD j = 0; j < attrs.rgAttr[i].cValue; ++j)
      text += (j ? "," : "") +
              hex(attrs.rgAttr[i].rgValue[j].pbData, attrs.rgAttr[i].rgValue[j].cbData);
    text += "]";
  }
  return text;
}

// decoded prints the fields of a decoded signer info and returns the storage holding it.
std::vector<std::uint64_t> decoded(const std::string& key, const Bytes& der) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, der.data(), static_cast<DWORD>(der.size()),
                         0, nullptr, &size)) {
    emit(key, "size:" + outcome(FALSE));
    return {};
  }
  std::vector<std::uint64_t> storage(size / 8 + 1);
  if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, der.data(), static_cast<DWORD>(der.size()),
                         0, storage.data(), &size)) {
    emit(key, outcome(FALSE));
    return {};
  }
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(storage.data());
  emit(key + "/version", std::to_string(info->dwVersion));
  emit(key + "/issuer", hex(info->Issuer.pbData, info->Issuer.cbData));
  emit(key + "/serial", hex(info->SerialNumber.pbData, info->SerialNumber.cbData));
  emit(key + "/hash-algorithm", algorithm(info->HashAlgorithm));
  emit(key + "/hash-encryption-algorithm", algorithm(info->HashEncryptionAlgorithm));
  emit(key + "/encrypted-hash", hex(info->EncryptedHash.pbData, info->EncryptedHash.cbData));
  emit(key + "/auth-attributes", attributes(info->AuthAttrs));
  emit(key + "/unauth-attributes", attributes(info->UnauthAttrs));
  return storage;
}

std::string encoded(const CMSG_SIGNER_INFO& info, Bytes& der) {
  DWORD size = 0;
  if (!CryptEncodeObject(kEncoding, PKCS7_SIGNER_INFO, &info, nullptr, &size))
    return "size:" + outcome(FALSE);
  der.resize(size);
  if (!CryptEncodeObject(kEncoding, PKCS7_SIGNER_INFO, &info, der.data(), &size))
    return outcome(FALSE);
  der.resize(size);
  return hex(der);
}

}  // namespace

void probeSignerInfo() {
  const Bytes signer = firstSignerInfo(fixture("signed_message.p7"));
  emit("signer-info/fixture/found", signer.empty() ? "no" : "yes");
  std::vector<std::uint64_t> storage = decoded("signer-info/fixture", signer);
  if (!storage.empty()) {
    Bytes again;
    std::string text = encoded(*reinterpret_cast<const CMSG_SIGNER_INFO*>(storage.data()), again);
    emit("signer-info/fixture/reencoded", again == signer ? "same bytes" : text);
  }

  // One made here: the plain certificate's issuer and serial, SHA-1 and RSA, and the two
  // attributes a signature over a digest carries.
  Context plain = contextOf(fixture("plain.der"));
  BYTE contentType[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
  BYTE digest[] = {0x04, 0x04, 0xde, 0xad, 0xbe, 0xef};
  CRYPT_ATTR_BLOB contentTypeValue{sizeof contentType, contentType};
  CRYPT_ATTR_BLOB digestValue{sizeof digest, digest};
  char contentTypeOid[] = "1.2.840.113549.1.9.3";
  char digestOid[] = "1.2.840.113549.1.9.4";
  CRYPT_ATTRIBUTE attrs[] = {{contentTypeOid, 1, &contentTypeValue}, {digestOid, 1, &digestValue}};
  char sha1Oid[] = "1.3.14.3.2.26";
  char rsaOid[] = szOID_RSA_RSA;
  BYTE encryptedHash[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  CMSG_SIGNER_INFO made{};
  made.dwVersion = 1;
  made.Issuer = plain->pCertInfo->Issuer;
  made.SerialNumber = plain->pCertInfo->SerialNumber;
  made.HashAlgorithm.pszObjId = sha1Oid;
  made.HashEncryptionAlgorithm.pszObjId = rsaOid;
  made.EncryptedHash = CRYPT_DATA_BLOB{sizeof encryptedHash, encryptedHash};
  made.AuthAttrs = CRYPT_ATTRIBUTES{2, attrs};
  Bytes der;
  emit("signer-info/made/encoded", encoded(made, der));
  if (!der.empty()) decoded("signer-info/made/decoded", der);
}

}  // namespace probe
