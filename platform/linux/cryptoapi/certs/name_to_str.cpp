// CertNameToStrA: a name as Windows writes it. X.500 keys from Windows' table (dotted OIDs
// outside it as "OID.1.2.3"), RDNs in encoded order, Windows' separators and quoting; wide
// values and T61Strings in the ANSI code page (950), other strings byte for byte, octet strings
// and undecodable values as "#" and hex.
#include <algorithm>
#include <cwctype>
#include <string_view>

#include "platform/linux/cryptoapi/certs/name_model.h"

namespace kestrune::cryptoapi {
namespace {

struct X500Key {
  std::string_view oid;
  std::string_view key;
};
constexpr X500Key kX500Keys[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "T"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.46", "dnQualifier"},
    {"1.2.840.113549.1.9.1", "E"},
    {"1.2.840.113549.1.9.2", "UnstructuredName"},
    {"1.2.840.113549.1.9.8", "UnstructuredAddress"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"0.9.2342.19200300.100.1.1", "UID"},
};

std::string keyOf(const std::string& oid, DWORD form) {
  if (form == CERT_OID_NAME_STR) return oid;
  const auto it = std::find_if(std::begin(kX500Keys), std::end(kX500Keys),
                               [&](const X500Key& k) { return k.oid == oid; });
  return it != std::end(kX500Keys) ? std::string(it->key) : "OID." + oid;
}

std::string hexOf(const Bytes& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "#";
  for (std::uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

std::string ansiOf(const std::wstring& wide) {
  if (wide.empty() || wide.size() > 0x3FFFFFFF) return {};
  const int length = static_cast<int>(wide.size());
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, text.data(), needed, nullptr, nullptr);
  return text;
}

// A T61String is read as UTF-8 when it is well-formed UTF-8 (what Internet Explorer 4 wrote
// there) unless CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG is given, else as 8-bit characters, each
// byte the character of that number (ISO 8859-1).
std::wstring wideOfT61(const Bytes& bytes, bool tryUtf8) {
  std::wstring wide;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (tryUtf8 && decodeUtf8(text, wide)) return wide;
  wide.assign(bytes.begin(), bytes.end());
  return wide;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool needsQuotes(std::string_view value) {
  if (value.empty() || isSpace(value.front()) || isSpace(value.back())) return true;
  return value.find_first_of(",+=\"\n<>#;") != std::string_view::npos;
}

void appendValue(std::string& out, const NameValue& value, bool quoting, bool t61Utf8) {
  if (value.type == CERT_RDN_ENCODED_BLOB || value.type == CERT_RDN_OCTET_STRING) {
    out += hexOf(value.bytes);
    return;
  }
  const std::string text = value.isWide() ? ansiOf(value.wide)
                           : value.type == CERT_RDN_T61_STRING
                               ? ansiOf(wideOfT61(value.bytes, t61Utf8))
                               : std::string(value.bytes.begin(), value.bytes.end());
  if (!quoting || !needsQuotes(text)) {
    out += text;
    return;
  }
  out.push_back('"');
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

std::string nameText(const NameModel& name, DWORD strType) {
  const DWORD form = strType & 0xFFFF;
  const std::string_view separator = (strType & CERT_NAME_STR_SEMICOLON_FLAG) ? "; "
                                     : (strType & CERT_NAME_STR_CRLF_FLAG)    ? "\r\n"
                                                                              : ", ";
  const std::string_view plus = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
  const bool quoting = (strType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
  const bool t61Utf8 = (strType & CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG) == 0;
  std::vector<const Rdn*> rdns;
  for (const Rdn& rdn : name) rdns.push_back(&rdn);
  if (strType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  std::string out;
  for (std::size_t i = 0; i < rdns.size(); ++i) {
    if (i != 0) out += separator;
    for (std::size_t k = 0; k < rdns[i]->size(); ++k) {
      if (k != 0) out += plus;
      const NameValue& value = (*rdns[i])[k];
      if (form == CERT_OID_NAME_STR || form == CERT_X500_NAME_STR)
        out += keyOf(value.oid, form) + "=";
      appendValue(out, value, quoting, t61Utf8);
    }
  }
  return out;
}

}  // namespace
}  // namespace kestrune::cryptoapi

using namespace kestrune::cryptoapi;

DWORD CertNameToStrA(DWORD, PCERT_NAME_BLOB name, DWORD strType, LPSTR text, DWORD textLength) {
  NameModel model;
  DWORD error = 0;
  std::string out;
  if (name == nullptr || (name->cbData != 0 && name->pbData == nullptr)) {
    SetLastError(kInvalidArg);
  } else if (!decodeName(ByteView(name->pbData, name->cbData), model, error)) {
    // An undecodable name gives the empty text, as Windows does.
    SetLastError(error);
  } else {
    out = nameText(model, strType);
  }
  const std::size_t needed = out.size() + 1;
  if (text == nullptr || textLength == 0) return static_cast<DWORD>(needed);
  // Microsoft says only that a short buffer's text is terminated. It gets the characters that
  // fit whole (a two-byte Big5 character is never cut after its lead byte, so the text reads
  // back as a prefix of the name) and the zero; the result counts what was written, zero
  // included, so a caller can tell a cut text from a whole one.
  std::size_t copied = 0;
  while (copied < out.size()) {
    const auto lead = static_cast<unsigned char>(out[copied]);
    const std::size_t size = lead >= 0x81 && lead <= 0xFE && copied + 1 < out.size() ? 2 : 1;
    if (copied + size > textLength - 1) break;
    copied += size;
  }
  std::memcpy(text, out.data(), copied);
  text[copied] = '\0';
  return static_cast<DWORD>(copied + 1);
}
