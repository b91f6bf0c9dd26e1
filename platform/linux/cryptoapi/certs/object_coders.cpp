// CryptEncodeObject / CryptDecodeObject for X509_NAME, X509_PUBLIC_KEY_INFO and
// PKCS7_SIGNER_INFO. Decoded structures come back in one caller buffer, size first; integers
// least significant byte first, everything else (names, parameters, the encrypted hash,
// attribute values) as encoded.
#include <algorithm>

#include "platform/linux/cryptoapi/certs/der_tlv.h"
#include "platform/linux/cryptoapi/certs/layout.h"
#include "platform/linux/cryptoapi/certs/name_model.h"

namespace kestrune::cryptoapi {
namespace {

// AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY OPTIONAL }
struct Algorithm {
  std::string oid;
  ByteView parameters;
};

struct Attribute {
  std::string oid;
  std::vector<ByteView> values;
};

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
struct PublicKeyInfo {
  Algorithm algorithm;
  DWORD unusedBits = 0;
  ByteView key;
};

// SignerInfo ::= SEQUENCE {
//   version INTEGER,
//   issuerAndSerialNumber SEQUENCE { issuer Name, serialNumber INTEGER },
//   digestAlgorithm AlgorithmIdentifier,
//   authenticatedAttributes [0] IMPLICIT SET OF Attribute OPTIONAL,
//   digestEncryptionAlgorithm AlgorithmIdentifier,
//   encryptedDigest OCTET STRING,
//   unauthenticatedAttributes [1] IMPLICIT SET OF Attribute OPTIONAL }
// Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, values SET OF ANY }
struct SignerInfo {
  DWORD version = 0;
  ByteView issuer;
  Bytes serial;  // least significant byte first
  Algorithm hash, hashEncryption;
  ByteView encryptedHash;
  std::vector<Attribute> authenticated, unauthenticated;
};

constexpr std::uint8_t kAuthenticatedTag = 0xA0;
constexpr std::uint8_t kUnauthenticatedTag = 0xA1;

// The error of an element that isn't there: a wrong tag, or one cut short.
DWORD outerError(ByteView bytes, std::uint8_t tag) {
  if (bytes.empty()) return kAsn1Eod;
  return bytes[0] != tag ? CRYPT_E_ASN1_BADTAG : kAsn1Eod;
}

// The fields of a structure's outer SEQUENCE. Without one, error tells why (a wrong tag, or
// bytes cut short); with one, error is set for whatever inside turns out corrupt.
std::optional<der::Reader> structureFields(ByteView bytes, DWORD& error) {
  der::Reader outer(bytes);
  const auto sequence = outer.next(der::kSequence);
  if (!sequence) {
    error = outerError(bytes, der::kSequence);
    return std::nullopt;
  }
  error = CRYPT_E_ASN1_CORRUPT;
  return der::Reader(sequence->content);
}

bool readAlgorithm(der::Reader& reader, Algorithm& out) {
  const auto sequence = reader.next(der::kSequence);
  if (!sequence) return false;
  der::Reader fields(sequence->content);
  const auto oid = fields.next(der::kOid);
  if (!oid) return false;
  out.oid = der::oidText(oid->content);
  if (!fields.empty()) {
    const auto parameters = fields.next();
    if (!parameters) return false;
    out.parameters = parameters->whole;
  }
  return !out.oid.empty() && fields.empty();
}

bool readAttributes(ByteView content, std::vector<Attribute>& out) {
  der::Reader reader(content);
  while (!reader.empty()) {
    const auto sequence = reader.next(der::kSequence);
    if (!sequence) return false;
    der::Reader fields(sequence->content);
    const auto oid = fields.next(der::kOid);
    const auto set = fields.next(der::kSet);
    if (!oid || !set || !fields.empty()) return false;
    Attribute attribute{der::oidText(oid->content), {}};
    if (attribute.oid.empty()) return false;
    der::Reader values(set->content);
    while (!values.empty()) {
      const auto value = values.next();
      if (!value) return false;
      attribute.values.push_back(value->whole);
    }
    out.push_back(std::move(attribute));
  }
  return true;
}

bool readPublicKeyInfo(ByteView bytes, PublicKeyInfo& out, DWORD& error) {
  auto opened = structureFields(bytes, error);
  if (!opened) return false;
  der::Reader& fields = *opened;
  if (!readAlgorithm(fields, out.algorithm)) return false;
  const auto bits = fields.next(der::kBitString);
  if (!bits || !fields.empty() || bits->content.empty() || bits->content[0] > 7) return false;
  out.unusedBits = bits->content[0];
  out.key = bits->content.subspan(1);
  return true;
}

bool readSignerInfo(ByteView bytes, SignerInfo& out, DWORD& error) {
  auto opened = structureFields(bytes, error);
  if (!opened) return false;
  der::Reader& fields = *opened;
  const auto version = fields.next(der::kInteger);
  if (!version || version->content.empty() || version->content.size() > 4) return false;
  for (std::uint8_t b : version->content) out.version = (out.version << 8) | b;
  const auto issuerAndSerial = fields.next(der::kSequence);
  if (!issuerAndSerial) return false;
  der::Reader pair(issuerAndSerial->content);
  const auto issuer = pair.next(der::kSequence);
  const auto serial = pair.next(der::kInteger);
  if (!issuer || !serial || !pair.empty()) return false;
  out.issuer = issuer->whole;
  out.serial = der::littleEndianOf(serial->content);
  if (!readAlgorithm(fields, out.hash)) return false;
  if (const auto attributes = fields.next(kAuthenticatedTag)) {
    if (!readAttributes(attributes->content, out.authenticated)) return false;
  }
  if (!readAlgorithm(fields, out.hashEncryption)) return false;
  const auto digest = fields.next(der::kOctetString);
  if (!digest) return false;
  out.encryptedHash = digest->content;
  if (const auto attributes = fields.next(kUnauthenticatedTag)) {
    if (!readAttributes(attributes->content, out.unauthenticated)) return false;
  }
  return fields.empty();
}

CRYPT_ALGORITHM_IDENTIFIER placeAlgorithm(Layout& layout, const Algorithm& algorithm) {
  char* oid = layout.text(algorithm.oid);
  BYTE* parameters = layout.bytes(algorithm.parameters);
  return {oid, {static_cast<DWORD>(algorithm.parameters.size()), parameters}};
}

CRYPT_ATTRIBUTES placeAttributes(Layout& layout, const std::vector<Attribute>& attributes) {
  auto* array = layout.take<CRYPT_ATTRIBUTE>(attributes.size());
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    char* oid = layout.text(attributes[i].oid);
    auto* values = layout.take<CRYPT_ATTR_BLOB>(attributes[i].values.size());
    for (std::size_t k = 0; k < attributes[i].values.size(); ++k) {
      BYTE* data = layout.bytes(attributes[i].values[k]);
      if (layout.writing()) values[k] = {static_cast<DWORD>(attributes[i].values[k].size()), data};
    }
    if (layout.writing()) {
      array[i] = {oid, static_cast<DWORD>(attributes[i].values.size()),
                  attributes[i].values.empty() ? nullptr : values};
    }
  }
  return {static_cast<DWORD>(attributes.size()), attributes.empty() ? nullptr : array};
}

ByteView viewOf(const CRYPTOAPI_BLOB& blob) {
  return blob.pbData != nullptr ? ByteView(blob.pbData, blob.cbData) : ByteView();
}

// writeAlgorithm: parameters as given (one element), or NULL where the caller gave none and
// the algorithm carries one (digests, RSA), as CryptoAPI encodes them.
bool writeAlgorithm(Bytes& out, const CRYPT_ALGORITHM_IDENTIFIER& algorithm, bool nullWhenAbsent) {
  Bytes fields = der::oidElement(algorithm.pszObjId);
  if (fields.empty()) return false;
  const ByteView parameters = viewOf(algorithm.Parameters);
  if (!parameters.empty()) {
    der::Reader check(parameters);
    if (!check.next() || !check.empty()) return false;
    fields.insert(fields.end(), parameters.begin(), parameters.end());
  } else if (nullWhenAbsent) {
    fields.push_back(der::kNull);
    fields.push_back(0);
  }
  der::append(out, der::kSequence, fields);
  return true;
}

// setOf joins the members of a SET OF in DER's order, ascending by their encodings, whatever
// order the caller gave them in: a signature covers the DER form, so another order would not
// verify.
Bytes setOf(std::vector<Bytes> members) {
  std::sort(members.begin(), members.end());
  Bytes set;
  for (const Bytes& member : members) set.insert(set.end(), member.begin(), member.end());
  return set;
}

bool writeAttributes(Bytes& out, std::uint8_t tag, const CRYPT_ATTRIBUTES& attributes) {
  if (attributes.cAttr == 0) return true;
  if (attributes.rgAttr == nullptr) return false;
  std::vector<Bytes> members;
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    Bytes fields = der::oidElement(attribute.pszObjId);
    if (fields.empty() || (attribute.cValue != 0 && attribute.rgValue == nullptr)) return false;
    std::vector<Bytes> values;
    for (DWORD k = 0; k < attribute.cValue; ++k) {
      const ByteView value = viewOf(attribute.rgValue[k]);
      der::Reader check(value);
      if (!check.next() || !check.empty()) return false;
      values.emplace_back(value.begin(), value.end());
    }
    der::append(fields, der::kSet, setOf(std::move(values)));
    members.push_back(der::element(der::kSequence, fields));
  }
  der::append(out, tag, setOf(std::move(members)));
  return true;
}

bool encodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, Bytes& der) {
  Bytes fields;
  if (!writeAlgorithm(fields, info.Algorithm, false) || info.PublicKey.cUnusedBits > 7)
    return false;
  Bytes bits{static_cast<std::uint8_t>(info.PublicKey.cUnusedBits)};
  const ByteView key = info.PublicKey.pbData != nullptr
                           ? ByteView(info.PublicKey.pbData, info.PublicKey.cbData)
                           : ByteView();
  bits.insert(bits.end(), key.begin(), key.end());
  der::append(fields, der::kBitString, bits);
  der = der::element(der::kSequence, fields);
  return true;
}

// RSA's algorithms carry a NULL parameter; elliptic-curve signatures carry none.
bool isRsaAlgorithm(const char* oid) {
  return oid != nullptr && std::string_view(oid).starts_with("1.2.840.113549.1.1.");
}

bool encodeSignerInfo(const CMSG_SIGNER_INFO& info, Bytes& der) {
  Bytes fields;
  Bytes version;
  for (int shift = 24; shift >= 0; shift -= 8)
    version.push_back(static_cast<std::uint8_t>(info.dwVersion >> shift));
  Bytes versionLittle(version.rbegin(), version.rend());
  const Bytes versionElement = der::integerElement(versionLittle);
  fields.insert(fields.end(), versionElement.begin(), versionElement.end());
  const ByteView issuer = viewOf(info.Issuer);
  der::Reader check(issuer);
  if (!check.next(der::kSequence) || !check.empty()) return false;
  Bytes pair(issuer.begin(), issuer.end());
  const Bytes serial = der::integerElement(viewOf(info.SerialNumber));
  pair.insert(pair.end(), serial.begin(), serial.end());
  der::append(fields, der::kSequence, pair);
  if (!writeAlgorithm(fields, info.HashAlgorithm, true) ||
      !writeAttributes(fields, kAuthenticatedTag, info.AuthAttrs) ||
      !writeAlgorithm(fields, info.HashEncryptionAlgorithm,
                      isRsaAlgorithm(info.HashEncryptionAlgorithm.pszObjId))) {
    return false;
  }
  der::append(fields, der::kOctetString, viewOf(info.EncryptedHash));
  if (!writeAttributes(fields, kUnauthenticatedTag, info.UnauthAttrs)) return false;
  der = der::element(der::kSequence, fields);
  return true;
}

bool knownEncoding(DWORD encodingType) {
  return (encodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) != 0;
}

}  // namespace
}  // namespace kestrune::cryptoapi

using namespace kestrune::cryptoapi;

BOOL CryptEncodeObject(DWORD encodingType, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLength) {
  if (!knownEncoding(encodingType) || structInfo == nullptr || encodedLength == nullptr)
    return fail(kInvalidArg);
  Bytes der;
  DWORD error = CRYPT_E_ASN1_ERROR;
  bool ok = false;
  if (structType == kX509Name) {
    NameModel name;
    ok = nameModelOf(*static_cast<const CERT_NAME_INFO*>(structInfo), name, error) &&
         encodeName(name, der, error);
  } else if (structType == kX509PublicKeyInfo) {
    ok = encodePublicKeyInfo(*static_cast<const CERT_PUBLIC_KEY_INFO*>(structInfo), der);
  } else if (structType == kPkcs7SignerInfo) {
    ok = encodeSignerInfo(*static_cast<const CMSG_SIGNER_INFO*>(structInfo), der);
  } else {
    error = kInvalidArg;
  }
  if (!ok) return fail(error);
  return copyOut(der, encoded, encodedLength);
}

BOOL CryptDecodeObject(DWORD encodingType, LPCSTR structType, const BYTE* encoded,
                       DWORD encodedLength, DWORD, void* structInfo, DWORD* structLength) {
  if (!knownEncoding(encodingType) || structLength == nullptr ||
      (encoded == nullptr && encodedLength != 0)) {
    return fail(kInvalidArg);
  }
  const ByteView bytes(encoded, encoded != nullptr ? encodedLength : 0);
  DWORD error = 0;
  if (structType == kX509Name) {
    NameModel name;
    if (!decodeName(bytes, name, error)) return fail(error);
    return deliverNameInfo(name, structInfo, structLength);
  }
  if (structType == kX509PublicKeyInfo) {
    PublicKeyInfo info;
    if (!readPublicKeyInfo(bytes, info, error)) return fail(error);
    return deliverLayout(
        [&](Layout& layout) {
          auto* out = layout.take<CERT_PUBLIC_KEY_INFO>();
          const CRYPT_ALGORITHM_IDENTIFIER algorithm = placeAlgorithm(layout, info.algorithm);
          BYTE* key = layout.bytes(info.key);
          if (layout.writing())
            *out = {algorithm, {static_cast<DWORD>(info.key.size()), key, info.unusedBits}};
        },
        structInfo, structLength);
  }
  if (structType == kPkcs7SignerInfo) {
    SignerInfo info;
    if (!readSignerInfo(bytes, info, error)) return fail(error);
    return deliverLayout(
        [&](Layout& layout) {
          auto* out = layout.take<CMSG_SIGNER_INFO>();
          BYTE* issuer = layout.bytes(info.issuer);
          BYTE* serial = layout.bytes(info.serial);
          const CRYPT_ALGORITHM_IDENTIFIER hash = placeAlgorithm(layout, info.hash);
          const CRYPT_ALGORITHM_IDENTIFIER hashEncryption =
              placeAlgorithm(layout, info.hashEncryption);
          BYTE* encryptedHash = layout.bytes(info.encryptedHash);
          const CRYPT_ATTRIBUTES authenticated = placeAttributes(layout, info.authenticated);
          const CRYPT_ATTRIBUTES unauthenticated = placeAttributes(layout, info.unauthenticated);
          if (layout.writing()) {
            *out = {info.version,
                    {static_cast<DWORD>(info.issuer.size()), issuer},
                    {static_cast<DWORD>(info.serial.size()), serial},
                    hash,
                    hashEncryption,
                    {static_cast<DWORD>(info.encryptedHash.size()), encryptedHash},
                    authenticated,
                    unauthenticated};
          }
        },
        structInfo, structLength);
  }
  return fail(kInvalidArg);
}
