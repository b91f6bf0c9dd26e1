// A distinguished name as CryptoAPI sees it: RDNs in encoded order, each a list of attributes
// with an OID text, a CERT_RDN_* value type and the value (8-bit bytes, or wide characters
// for UTF8String, BMPString and UniversalString).
#pragma once

#include <string>
#include <vector>

#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

struct NameValue {
  std::string oid;
  DWORD type = CERT_RDN_ENCODED_BLOB;
  Bytes bytes;        // 8-bit strings, octet strings, encoded blobs (the whole element)
  std::wstring wide;  // CERT_RDN_UTF8_STRING, CERT_RDN_UNICODE_STRING, CERT_RDN_UNIVERSAL_STRING
  bool isWide() const {
    return type == CERT_RDN_UTF8_STRING || type == CERT_RDN_UNICODE_STRING ||
           type == CERT_RDN_UNIVERSAL_STRING;
  }
};
using Rdn = std::vector<NameValue>;
using NameModel = std::vector<Rdn>;

// decodeName reads a Name's DER; false with error set to the CryptoAPI code otherwise.
bool decodeName(ByteView der, NameModel& name, DWORD& error);
// encodeName writes the DER of a name (each RDN's attributes in DER's SET OF order); false
// with error for a value type it can't encode or a malformed OID.
bool encodeName(const NameModel& name, Bytes& der, DWORD& error);

// The model of a caller's CERT_NAME_INFO, and the structure laid out in a caller buffer.
bool nameModelOf(const CERT_NAME_INFO& info, NameModel& name, DWORD& error);
BOOL deliverNameInfo(const NameModel& name, void* out, DWORD* length);

}  // namespace kestrune::cryptoapi
