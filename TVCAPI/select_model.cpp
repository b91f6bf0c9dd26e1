// The selection dialog's model, built from the certificates with CryptoAPI only.
#include "TVCAPI/select_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

using kestrune::platform::CertificateDialogAnswer;
using kestrune::platform::CertificateDialogMemory;
using kestrune::platform::CertificateDialogRow;
using kestrune::platform::CertificateDialogTexts;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::size_t kTextLimit = 255;
constexpr std::size_t kSerialLimit = 128;
constexpr int kWidestColumn = 400;

// The Chinese texts are Big5 bytes, the ANSI code page the dialogs are drawn in.
constexpr const char* kHolder = "\xbe\xcc\xc3\xd2\xab\xf9\xa6\xb3\xa4\x48";  // certificate holder
constexpr const char* kIssuer = "\xb5\x6f\xa6\xe6\xaa\xcc";                  // issuer

CertificateDialogTexts chineseTexts() {
  CertificateDialogTexts t;
  t.chinese = true;
  t.selectionTemplate = 30023;
  t.informationTemplate = 30021;
  t.caption = "\xc3\xb1\xb3\xb9\xb0\x54\xae\xa7";         // signature message
  t.messageCaption = "\xad\xec\xa4\xe5\xb0\x54\xae\xa7";  // source-text message
  t.listCaption = "\xbf\xef\xbe\xdc\xbe\xcc\xc3\xd2";     // select certificate
  t.columnTitles = {kHolder, "\xb0\x5f\xa9\x6c\xa4\xe9" /* start date */,
                    "\xa8\xec\xb4\xc1\xa4\xe9" /* expiry date */, kIssuer};
  t.informationColumns = {"\xc4\xe6\xa6\xec" /* field */, "\xb8\xea\xae\xc6" /* data */};
  t.informationLabels = {kIssuer,
                         kHolder,
                         "\xa6\xb3\xae\xc4\xb0\x5f\xa9\x6c" /* valid from */,
                         "\xa8\xec\xb4\xc1\xae\xc9\xb6\xa1" /* expiry time */,
                         "\xb9\x71\xa4\x6c\xb6\x6c\xa5\xf3" /* e-mail */,
                         "\xbe\xcc\xc3\xd2\xa7\xc7\xb8\xb9" /* serial number */};
  return t;
}

CertificateDialogTexts englishTexts() {
  CertificateDialogTexts t;
  t.selectionTemplate = 30033;
  t.informationTemplate = 30031;
  t.caption = "Signature message";
  t.messageCaption = "Text";
  t.listCaption = "Certificates";
  t.columnTitles = {"Owner", "NotBefore", "NotAfter", "Issuer"};
  t.informationColumns = {"Property", "Value"};
  t.informationLabels = {"Issuer", "Subject", "NotBefore", "NotAfter", "Email", "SerialNumber"};
  return t;
}

// A decoded name, or nothing when it can't be decoded.
std::optional<std::vector<BYTE>> decodeName(const CERT_NAME_BLOB& name) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, X509_NAME, name.pbData, name.cbData, 0, nullptr, &size) ||
      size < sizeof(CERT_NAME_INFO)) {
    return std::nullopt;
  }
  std::vector<BYTE> buffer(size);
  if (!CryptDecodeObject(kEncoding, X509_NAME, name.pbData, name.cbData, 0, buffer.data(), &size)) {
    return std::nullopt;
  }
  return buffer;
}

const CERT_RDN_ATTR* findAttribute(const std::optional<std::vector<BYTE>>& name, const char* oid) {
  if (!name) return nullptr;
  const auto& info = *reinterpret_cast<const CERT_NAME_INFO*>(name->data());
  for (DWORD r = 0; r < info.cRDN; ++r) {
    for (DWORD a = 0; a < info.rgRDN[r].cRDNAttr; ++a) {
      const CERT_RDN_ATTR& attr = info.rgRDN[r].rgRDNAttr[a];
      if (attr.pszObjId != nullptr && std::strcmp(attr.pszObjId, oid) == 0) return &attr;
    }
  }
  return nullptr;
}

// The holder's (or issuer's) name for the list: CN, else OU, else O.
const CERT_RDN_ATTR* displayAttribute(const std::optional<std::vector<BYTE>>& name) {
  for (const char* oid :
       {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME}) {
    if (const CERT_RDN_ATTR* attr = findAttribute(name, oid)) return attr;
  }
  return nullptr;
}

std::string hexText(const BYTE* bytes, std::size_t count) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    out += pair;
  }
  return out;
}

std::string nameText(CERT_NAME_BLOB name) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG;
  const DWORD needed = CertNameToStrA(kEncoding, &name, type, nullptr, 0);
  if (needed <= 1) return {};
  std::string text(needed, '\0');
  const DWORD written = CertNameToStrA(kEncoding, &name, type, text.data(), needed);
  text.resize(written > 0 ? std::strlen(text.c_str()) : 0);
  if (text.size() > kTextLimit) text.resize(kTextLimit);
  return text;
}

std::string serialText(const CRYPT_INTEGER_BLOB& serial) {
  if (serial.pbData == nullptr) return {};
  std::vector<BYTE> bigEndian(serial.pbData, serial.pbData + serial.cbData);
  std::reverse(bigEndian.begin(), bigEndian.end());
  return hexText(bigEndian.data(), std::min<std::size_t>(bigEndian.size(), kSerialLimit));
}

// Attribute values compared case-insensitively over the shorter length, the shorter first when
// that part is equal, a missing value before any other.
int compareValues(const CERT_RDN_ATTR* a, const CERT_RDN_ATTR* b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  const std::size_t shorter = std::min(a->Value.cbData, b->Value.cbData);
  for (std::size_t i = 0; i < shorter; ++i) {
    auto lower = [](BYTE c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : int{c}; };
    const int x = lower(a->Value.pbData[i]);
    const int y = lower(b->Value.pbData[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return (a->Value.cbData > b->Value.cbData) - (a->Value.cbData < b->Value.cbData);
}

int compareTimes(const FILETIME& a, const FILETIME& b) {
  const auto ticks = [](const FILETIME& t) {
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  };
  return (ticks(a) > ticks(b)) - (ticks(a) < ticks(b));
}

struct SortSource {
  const CERT_RDN_ATTR* subject;
  const CERT_RDN_ATTR* issuer;
  FILETIME notBefore;
  FILETIME notAfter;
};

int compareColumn(const SortSource& a, const SortSource& b, int column) {
  switch (column) {
    case 0:
      return compareValues(a.subject, b.subject);
    case 1:
      return compareTimes(a.notBefore, b.notBefore);
    case 2:
      return compareTimes(a.notAfter, b.notAfter);
    default:
      return compareValues(a.issuer, b.issuer);
  }
}

}  // namespace

DisplayLanguage languageOfLangId(LANGID id) {
  const int primary = id & 0x3FF;
  const int sub = id >> 10;
  return primary == 0x04 && sub != 0x02 ? DisplayLanguage::traditionalChinese
                                        : DisplayLanguage::english;
}

DisplayLanguage tvxCAPIDisplayLanguage() {
  static const DisplayLanguage language = languageOfLangId(GetSystemDefaultLangID());
  return language;
}

CertificateDialogTexts dialogTexts(DisplayLanguage language) {
  return language == DisplayLanguage::traditionalChinese ? chineseTexts() : englishTexts();
}

std::string attributeText(const CERT_RDN_ATTR& attr) {
  if (attr.Value.pbData == nullptr || attr.Value.cbData == 0) return {};
  if (attr.dwValueType == CERT_RDN_UNICODE_STRING || attr.dwValueType == CERT_RDN_UTF8_STRING) {
    const std::size_t chars = std::min<std::size_t>(attr.Value.cbData / sizeof(WCHAR), 0x100000);
    const auto* wide = reinterpret_cast<const WCHAR*>(attr.Value.pbData);
    const int needed =
        WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string text(static_cast<std::size_t>(needed), '\0');
    const int written = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(chars), text.data(),
                                            needed, nullptr, nullptr);
    text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return text;
  }
  if (attr.dwValueType == CERT_RDN_UNIVERSAL_STRING) {
    return hexText(attr.Value.pbData, std::min<std::size_t>(attr.Value.cbData, 4));
  }
  return std::string(reinterpret_cast<const char*>(attr.Value.pbData),
                     std::min<std::size_t>(attr.Value.cbData, kTextLimit));
}

std::string localDateText(const FILETIME& time, bool withTimeOfDay) {
  FILETIME local{};
  SYSTEMTIME civil{};
  if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &civil)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", civil.wYear, civil.wMonth,
                civil.wDay, civil.wHour, civil.wMinute, civil.wSecond);
  return std::string(text, withTimeOfDay ? std::strlen(text) : 10);
}

bool rowsOf(const PCCERT_CONTEXT* certs, DWORD count, std::vector<CertificateDialogRow>& rows) {
  try {
    std::vector<std::optional<std::vector<BYTE>>> subjects, issuers;
    std::vector<SortSource> sources;
    rows.assign(count, CertificateDialogRow{});
    for (DWORD i = 0; i < count; ++i) {
      const CERT_INFO& info = *certs[i]->pCertInfo;
      subjects.push_back(decodeName(info.Subject));
      issuers.push_back(decodeName(info.Issuer));
    }
    for (DWORD i = 0; i < count; ++i) {
      const CERT_INFO& info = *certs[i]->pCertInfo;
      SortSource source{displayAttribute(subjects[i]), displayAttribute(issuers[i]), info.NotBefore,
                        info.NotAfter};
      sources.push_back(source);
      CertificateDialogRow& row = rows[i];
      row.columns = {source.subject ? attributeText(*source.subject) : std::string(),
                     localDateText(info.NotBefore, false), localDateText(info.NotAfter, false),
                     source.issuer ? attributeText(*source.issuer) : std::string()};
      if (source.subject != nullptr && source.subject->Value.pbData != nullptr &&
          (source.subject->dwValueType == CERT_RDN_UNICODE_STRING ||
           source.subject->dwValueType == CERT_RDN_UTF8_STRING)) {
        const auto* wide = reinterpret_cast<const WCHAR*>(source.subject->Value.pbData);
        row.holderWide.assign(wide, source.subject->Value.cbData / sizeof(WCHAR));
      }
      const CERT_RDN_ATTR* email = findAttribute(issuers[i], szOID_RSA_emailAddr);
      row.information = {nameText(info.Issuer),
                         nameText(info.Subject),
                         localDateText(info.NotBefore, true),
                         localDateText(info.NotAfter, true),
                         email ? attributeText(*email) : std::string(),
                         serialText(info.SerialNumber)};
    }
    for (int column = 0; column < 4; ++column) {
      std::vector<std::size_t> order(count);
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      const auto less = [&](std::size_t a, std::size_t b) {
        return compareColumn(sources[a], sources[b], column) < 0;
      };
      std::stable_sort(order.begin(), order.end(), less);
      int rank = 0;
      for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && less(order[k - 1], order[k])) rank = static_cast<int>(k);
        rows[order[k]].sortRank[static_cast<std::size_t>(column)] = rank;
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::vector<std::size_t> displayOrder(const std::vector<CertificateDialogRow>& rows, int sortColumn,
                                      bool descending) {
  std::vector<std::size_t> order(rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (sortColumn < 0 || sortColumn > 3) return order;
  const auto column = static_cast<std::size_t>(sortColumn);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return descending ? rows[a].sortRank[column] > rows[b].sortRank[column]
                      : rows[a].sortRank[column] < rows[b].sortRank[column];
  });
  return order;
}

CertificateDialogMemory& tvxCAPIDialogMemory() {
  static CertificateDialogMemory memory;
  return memory;
}

void rememberAnswer(CertificateDialogMemory& memory, const CertificateDialogAnswer& answer,
                    std::size_t rows) {
  if (answer.sortColumn >= -1 && answer.sortColumn <= 3) {
    memory.sortColumn = answer.sortColumn;
    memory.sortDescending = answer.sortDescending;
  }
  if (answer.choice < kestrune::platform::kDialogNoRow ||
      answer.choice == kestrune::platform::kDialogCancelled) {
    return;
  }
  for (std::size_t i = 0; i < memory.columnWidths.size(); ++i) {
    const int width = answer.columnWidths[i];
    if (width >= 0 && width <= kWidestColumn) memory.columnWidths[i] = width;
  }
  if (answer.choice >= 0 && static_cast<std::size_t>(answer.choice) < rows) {
    memory.lastRow = answer.choice;
  }
}
