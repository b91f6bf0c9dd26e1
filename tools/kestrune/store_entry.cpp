#include "tools/kestrune/store_entry.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include "tools/kestrune/display_text.h"

namespace kestrune::host {
namespace {

// utf8OfWide converts a CryptoAPI wide text; "?" when it doesn't convert.
std::string utf8OfWide(const wchar_t* wide) {
  if (wide == nullptr) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "?";
  std::string text(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr) != size)
    return "?";
  text.resize(static_cast<std::size_t>(size) - 1);
  return text;
}

// utf8OfAnsi converts CertNameToStrA's text (the ANSI code page, 950 here) for a UTF-8
// terminal; bytes that aren't valid there are shown as they are.
std::string utf8OfAnsi(const std::string& ansi) {
  const int size = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  if (size <= 0) return ansi;
  std::vector<wchar_t> wide(static_cast<std::size_t>(size));
  if (MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(), size) != size) return ansi;
  return utf8OfWide(wide.data());
}

std::string nameText(CERT_NAME_BLOB& name) {
  const DWORD size = CertNameToStrA(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, nullptr, 0);
  if (size <= 1) return {};
  std::string text(size, '\0');
  const DWORD written =
      CertNameToStrA(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, text.data(), size);
  text.resize(written > 0 ? written - 1 : 0);
  return oneLine(utf8OfAnsi(text));
}

std::string utcText(const FILETIME& time) {
  SYSTEMTIME civil{};
  if (!FileTimeToSystemTime(&time, &civil)) return "?";
  char text[64];  // room for any WORD values, though a SYSTEMTIME's are small
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{civil.wYear},
                unsigned{civil.wMonth}, unsigned{civil.wDay}, unsigned{civil.wHour},
                unsigned{civil.wMinute}, unsigned{civil.wSecond});
  return text;
}

// keyOf reads CERT_KEY_PROV_INFO_PROP_ID; nullopt when the certificate has none.
std::optional<StoreEntry::Key> keyOf(PCCERT_CONTEXT context) {
  DWORD length = 0;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length) ||
      length < sizeof(CRYPT_KEY_PROV_INFO)) {
    return std::nullopt;
  }
  // The structure and the texts it points to come in one buffer, aligned for the structure.
  std::vector<std::max_align_t> buffer((length + sizeof(std::max_align_t) - 1) /
                                       sizeof(std::max_align_t));
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                         &length)) {
    return std::nullopt;
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  return StoreEntry::Key{oneLine(utf8OfWide(info->pwszProvName)),
                         oneLine(utf8OfWide(info->pwszContainerName)),
                         static_cast<unsigned>(info->dwKeySpec)};
}

}  // namespace

std::string thumbprintOf(PCCERT_CONTEXT context) {
  BYTE hash[20];
  DWORD length = sizeof hash;
  if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &length) ||
      length != sizeof hash) {
    return {};
  }
  std::string hex;
  for (const BYTE byte : hash) {
    hex.push_back("0123456789ABCDEF"[byte >> 4]);
    hex.push_back("0123456789ABCDEF"[byte & 15]);
  }
  return hex;
}

StoreEntry readStoreEntry(PCCERT_CONTEXT context) {
  CERT_INFO& info = *context->pCertInfo;
  return {thumbprintOf(context), nameText(info.Subject), nameText(info.Issuer),
          utcText(info.NotAfter), keyOf(context)};
}

std::string describeCertificate(PCCERT_CONTEXT context) {
  const StoreEntry entry = readStoreEntry(context);
  std::string line =
      entry.thumbprint + "\t" + entry.subject + "\t" + entry.issuer + "\t" + entry.notAfter;
  if (entry.key) {
    line += "\t" + entry.key->provider + "\t" + entry.key->container + "\tkeySpec " +
            std::to_string(entry.key->keySpec);
  }
  return line;
}

std::string errorText(DWORD error) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(error));
  const char* meaning = nullptr;
  switch (error) {
    case ERROR_ACCESS_DENIED:
      meaning = "access denied";
      break;
    case ERROR_FILE_NOT_FOUND:
      meaning = "not found";
      break;
    case ERROR_WRITE_FAULT:
      meaning = "cannot write";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case NTE_NO_MEMORY:
      meaning = "out of memory";
      break;
    case CRYPT_E_ASN1_BADTAG:
    case CRYPT_E_ASN1_CORRUPT:
    case CRYPT_E_ASN1_ERROR:
    case CRYPT_E_BAD_ENCODE:
      meaning = "not a certificate CryptoAPI can decode";
      break;
    default:
      break;
  }
  return meaning != nullptr ? std::string(code) + " (" + meaning + ")" : std::string(code);
}

}  // namespace kestrune::host
