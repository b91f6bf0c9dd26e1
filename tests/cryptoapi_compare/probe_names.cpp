// Names as text (CertNameToStrA) in every form and modifier flag, over the fixture
// certificates' subjects; and the names decoded into CERT_NAME_INFO and encoded back.
#include <memory>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

struct Form {
  const char* label;
  DWORD value;
};
constexpr Form kForms[] = {
    {"simple", CERT_SIMPLE_NAME_STR},
    {"oid", CERT_OID_NAME_STR},
    {"x500", CERT_X500_NAME_STR},
};

constexpr DWORD kFlagSets[] = {
    0,
    CERT_NAME_STR_SEMICOLON_FLAG,
    CERT_NAME_STR_CRLF_FLAG,
    CERT_NAME_STR_COMMA_FLAG,
    CERT_NAME_STR_NO_PLUS_FLAG,
    CERT_NAME_STR_NO_QUOTING_FLAG,
    CERT_NAME_STR_REVERSE_FLAG,
    CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_REVERSE_FLAG,
    CERT_NAME_STR_CRLF_FLAG | CERT_NAME_STR_NO_PLUS_FLAG,
    CERT_NAME_STR_NO_PLUS_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG,
    CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_CRLF_FLAG,
    // T61Strings as 8-bit characters only; every other value type must come out unchanged.
    CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG,
};

// nameText calls CertNameToStrA as callers do: the size first, then the text.
std::string nameText(CERT_NAME_BLOB* name, DWORD type, DWORD encoding = X509_ASN_ENCODING) {
  DWORD needed = CertNameToStrA(encoding, name, type, nullptr, 0);
  std::string text(needed + 1, '\x7f');
  DWORD written = CertNameToStrA(encoding, name, type, text.data(), needed);
  std::string value = std::to_string(needed) + "|" + std::to_string(written) + "|";
  if (written > 0) value += escaped(std::string_view(text.data(), written - 1));
  if (written > 0 && text[written - 1] != '\0') value += "|unterminated";
  return value;
}

// The attribute's value as the decoder hands it over: wide text for the Unicode types, 32-bit
// code points for UniversalString, bytes for the rest.
std::string attributeValue(const CERT_RDN_ATTR& attr) {
  const BYTE* data = attr.Value.pbData;
  DWORD size = attr.Value.cbData;
  switch (attr.dwValueType) {
    case CERT_RDN_BMP_STRING:
    case CERT_RDN_UTF8_STRING:
      return "text:" +
             utf8(codePoints(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t)));
    case CERT_RDN_UNIVERSAL_STRING: {
      std::u32string points;
      for (DWORD i = 0; i + 4 <= size; i += 4)
        points.push_back(static_cast<char32_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                               static_cast<std::uint32_t>(data[i + 3]) << 24));
      return "ints:" + utf8(points);
    }
    default:
      return "bytes:" + escaped(std::string_view(reinterpret_cast<const char*>(data), size));
  }
}

}  // namespace

void probeNames() {
  for (const auto& f : fixtures()) {
    if (!isCertificate(f)) continue;
    Context context = contextOf(f.bytes);
    if (!context) {
      emit("name/" + stem(f) + "/context", "fail:" + lastError());
      continue;
    }
    CERT_NAME_BLOB* subject = &context->pCertInfo->Subject;
    for (const auto& form : kForms)
      for (DWORD flags : kFlagSets)
        emit("name/" + stem(f) + "/" + form.label + "/" + hexWord(flags),
             nameText(subject, form.value | flags));
    // A buffer too short for the text: how much is written, and whether it is terminated.
    char shortText[8] = "xxxxxxx";
    DWORD written = CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, shortText, 6);
    emit("name-short/" + stem(f),
         std::to_string(written) + "|" + escaped(std::string_view(shortText, 7)));
    // The message encoding type in the high word is ignored.
    if (f.name == "plain.der")
      emit("name-encoding/" + stem(f),
           nameText(subject, CERT_X500_NAME_STR, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
  }
}

void probeDecodedNames() {
  for (const auto& f : fixtures()) {
    if (!isCertificate(f)) continue;
    Context context = contextOf(f.bytes);
    if (!context) continue;
    const CERT_NAME_BLOB& subject = context->pCertInfo->Subject;
    const std::string key = "decode/" + stem(f);
    DWORD size = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, 0, nullptr,
                           &size)) {
      emit(key, "size:" + outcome(FALSE));
      continue;
    }
    std::vector<std::uint64_t> storage(size / 8 + 1);
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, 0,
                           storage.data(), &size)) {
      emit(key, outcome(FALSE));
      continue;
    }
    const auto* info = reinterpret_cast<const CERT_NAME_INFO*>(storage.data());
    emit(key + "/rdns", std::to_string(info->cRDN));
    for (DWORD i = 0; i < info->cRDN; ++i)
      for (DWORD j = 0; j < info->rgRDN[i].cRDNAttr; ++j) {
        const CERT_RDN_ATTR& attr = info->rgRDN[i].rgRDNAttr[j];
        emit(key + "/" + std::to_string(i) + "." + std::to_string(j),
             std::string(attr.pszObjId) + " type=" + std::to_string(attr.dwValueType) + " " +
                 attributeValue(attr));
      }
    DWORD encodedSize = 0;
    BOOL sized = CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, info, nullptr, &encodedSize);
    Bytes encoded(encodedSize);
    BOOL ok = sized &&
              CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, info, encoded.data(), &encodedSize);
    encoded.resize(ok ? encodedSize : 0);
    bool same = encoded == Bytes(subject.pbData, subject.pbData + subject.cbData);
    emit(key + "/reencoded", ok ? (same ? "same bytes" : hex(encoded)) : outcome(FALSE));
  }
}

}  // namespace probe
