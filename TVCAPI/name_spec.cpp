// The name-specification matchers: one alternative's lines against one certificate.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TVCAPI/name_spec.h"
#include "TVCAPI/tvcapi.h"

namespace {

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimWhite(std::string_view text) {
  while (!text.empty() && isWhite(text.front())) text.remove_prefix(1);
  while (!text.empty() && isWhite(text.back())) text.remove_suffix(1);
  return text;
}

// Subject values lose spaces before them and spaces and CRs after them; issuer values lose
// white space, CR and LF on both ends.
std::string_view trimValue(std::string_view value, NameSide side) {
  if (side == NameSide::issuer) return trimWhite(value);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.remove_suffix(1);
  return value;
}

enum class LineKind { attribute, serial, notSerial };

struct KeyRow {
  const char* key;
  LineKind kind;
  const char* oid;
};

constexpr KeyRow kKeys[] = {
    {"CN", LineKind::attribute, szOID_COMMON_NAME},
    {"serialNumber", LineKind::attribute, szOID_DEVICE_SERIAL_NUMBER},
    {"C", LineKind::attribute, szOID_COUNTRY_NAME},
    {"L", LineKind::attribute, szOID_LOCALITY_NAME},
    {"ST", LineKind::attribute, szOID_STATE_OR_PROVINCE_NAME},
    {"S", LineKind::attribute, szOID_STATE_OR_PROVINCE_NAME},
    {"O", LineKind::attribute, szOID_ORGANIZATION_NAME},
    {"OU", LineKind::attribute, szOID_ORGANIZATIONAL_UNIT_NAME},
    {"E", LineKind::attribute, szOID_RSA_emailAddr},
    {"Email", LineKind::attribute, szOID_RSA_emailAddr},
    {"SN", LineKind::serial, nullptr},
    {"SN!", LineKind::notSerial, nullptr},
};

const KeyRow* keyRow(std::string_view key) {
  for (const auto& row : kKeys) {
    if (key == row.key) return &row;
  }
  return nullptr;
}

// The decoded name, owned; released at the end of the match.
class DecodedName {
 public:
  DecodedName() = default;
  DecodedName(const DecodedName&) = delete;
  DecodedName& operator=(const DecodedName&) = delete;
  ~DecodedName() { std::free(buffer_); }

  // decode gives 0, 5001 when the name can't be decoded, 5002 without memory.
  std::int32_t decode(const CERT_NAME_BLOB& name) {
    DWORD size = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_NAME, name.pbData,
                           name.cbData, 0, nullptr, &size) ||
        size < sizeof(CERT_NAME_INFO)) {
      return TVCAPI_FAILED;
    }
    buffer_ = std::malloc(size);
    if (buffer_ == nullptr) return TVCAPI_NO_MEMORY;
    if (!CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_NAME, name.pbData,
                           name.cbData, 0, buffer_, &size)) {
      return TVCAPI_FAILED;
    }
    return TVCAPI_OK;
  }
  const CERT_NAME_INFO& info() const { return *static_cast<const CERT_NAME_INFO*>(buffer_); }

 private:
  void* buffer_ = nullptr;
};

// The attribute's value in Big5 (wide values converted, others as their bytes), into a
// buffer of kNameValueLimit bytes. Gives 0; 5901 when a wide value yields nothing; 5014 when
// the value does not fit (a long value never matches).
std::int32_t valueText(const CERT_RDN_ATTR& attr, char (&buffer)[kNameValueLimit],
                       std::size_t& length) {
  length = 0;
  if (attr.dwValueType == CERT_RDN_UNICODE_STRING || attr.dwValueType == CERT_RDN_UTF8_STRING) {
    const std::size_t chars = attr.Value.cbData / sizeof(WCHAR);
    if (chars == 0 || chars > 0x7FFFFFFF || attr.Value.pbData == nullptr) {
      return TVCAPI_NOT_BIG5;
    }
    const auto* wide = reinterpret_cast<const WCHAR*>(attr.Value.pbData);
    const int needed =
        WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return TVCAPI_NOT_BIG5;
    if (static_cast<std::size_t>(needed) >= kNameValueLimit) return TVCAPI_NO_MATCH;
    const int written =
        WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(chars), buffer,
                            static_cast<int>(kNameValueLimit - 1), nullptr, nullptr);
    if (written <= 0) return TVCAPI_NOT_BIG5;
    length = static_cast<std::size_t>(written);
    return TVCAPI_OK;
  }
  if (attr.Value.cbData >= kNameValueLimit) return TVCAPI_NO_MATCH;
  if (attr.Value.cbData != 0) {
    if (attr.Value.pbData == nullptr) return TVCAPI_NO_MATCH;
    std::memcpy(buffer, attr.Value.pbData, attr.Value.cbData);
  }
  length = attr.Value.cbData;
  return TVCAPI_OK;
}

bool valueMatches(std::string_view certValue, std::string_view wanted, std::uint32_t flags,
                  NameSide side) {
  if ((flags & TVCAPI_LOOSE_MATCH) == 0) return certValue == wanted;
  if (side == NameSide::subject) return certValue.find(wanted) != std::string_view::npos;
  return wanted.substr(0, certValue.size()) == certValue;
}

std::int32_t matchAttribute(PCCERT_CONTEXT cert, const char* oid, std::string_view wanted,
                            std::uint32_t flags, NameSide side) {
  const CERT_INFO& info = *cert->pCertInfo;
  DecodedName name;
  if (const std::int32_t rc = name.decode(side == NameSide::subject ? info.Subject : info.Issuer);
      rc != TVCAPI_OK) {
    return rc;
  }
  const CERT_NAME_INFO& rdns = name.info();
  for (DWORD r = 0; r < rdns.cRDN; ++r) {
    const CERT_RDN& rdn = rdns.rgRDN[r];
    for (DWORD a = 0; a < rdn.cRDNAttr; ++a) {
      const CERT_RDN_ATTR& attr = rdn.rgRDNAttr[a];
      if (attr.pszObjId == nullptr || std::strcmp(attr.pszObjId, oid) != 0) continue;
      char buffer[kNameValueLimit];
      std::size_t length = 0;
      const std::int32_t rc = valueText(attr, buffer, length);
      if (rc == TVCAPI_NOT_BIG5) return rc;
      if (rc == TVCAPI_OK && valueMatches({buffer, length}, wanted, flags, side)) {
        return TVCAPI_OK;
      }
    }
  }
  return TVCAPI_NO_MATCH;
}

std::int32_t matchLine(PCCERT_CONTEXT cert, const KeyRow& row, std::string_view value,
                       std::uint32_t flags, NameSide side) {
  switch (row.kind) {
    case LineKind::serial:
      return tvxCAPIMatchSerialList(cert->pCertInfo->SerialNumber, value) ? TVCAPI_OK
                                                                          : TVCAPI_NO_MATCH;
    case LineKind::notSerial:
      return tvxCAPIMatchSerialList(cert->pCertInfo->SerialNumber, value) ? TVCAPI_NO_MATCH
                                                                          : TVCAPI_OK;
    case LineKind::attribute:
      break;
  }
  return matchAttribute(cert, row.oid, value, flags, side);
}

}  // namespace

bool tvxCAPINextAlternative(std::string_view spec, std::size_t& position,
                            std::string_view& alternative) {
  while (position < spec.size()) {
    const std::size_t end = std::min(spec.find('\t', position), spec.size());
    alternative = spec.substr(position, end - position);
    position = end + 1;
    if (!alternative.empty()) return true;
  }
  return false;
}

std::int32_t tvxCAPIValidateCertName(PCCERT_CONTEXT cert, std::string_view alternative,
                                     std::uint32_t flags, NameSide side) {
  if (cert == nullptr || cert->pCertInfo == nullptr) return TVCAPI_BAD_ARGUMENT;
  std::string_view rest = alternative;
  while (true) {
    while (!rest.empty() && isWhite(rest.front())) rest.remove_prefix(1);
    if (rest.empty()) return TVCAPI_OK;
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.size() > kSpecLineLimit) return TVCAPI_BUFFER_TOO_SMALL;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      if (trimWhite(rest).empty()) return TVCAPI_BAD_SPECIFICATION;
      continue;
    }
    const std::string_view key = trimWhite(line.substr(0, equals));
    if (key.empty()) return TVCAPI_EMPTY_KEY;
    const KeyRow* row = keyRow(key);
    if (row == nullptr) return TVCAPI_BAD_SPECIFICATION;
    if (const std::int32_t rc =
            matchLine(cert, *row, trimValue(line.substr(equals + 1), side), flags, side);
        rc != TVCAPI_OK) {
      return rc;
    }
  }
}

std::int32_t tvxCAPIValidateCertSubjectA(PCCERT_CONTEXT cert, const char* alternative,
                                         std::uint32_t flags) {
  return tvxCAPIValidateCertName(cert, alternative != nullptr ? alternative : "", flags,
                                 NameSide::subject);
}

std::int32_t tvxCAPIValidateCertIssuer(PCCERT_CONTEXT cert, const char* alternative,
                                       std::uint32_t flags) {
  return tvxCAPIValidateCertName(cert, alternative != nullptr ? alternative : "", flags,
                                 NameSide::issuer);
}

std::int32_t tvxCAPIValidateCertIssuerList(PCCERT_CONTEXT cert, const char* spec,
                                           std::uint32_t flags) {
  const std::string_view text = spec != nullptr ? spec : "";
  std::size_t position = 0;
  std::string_view alternative;
  while (tvxCAPINextAlternative(text, position, alternative)) {
    if (tvxCAPIValidateCertName(cert, alternative, flags, NameSide::issuer) == TVCAPI_OK) {
      return TVCAPI_OK;
    }
  }
  return TVCAPI_NO_MATCH;
}
