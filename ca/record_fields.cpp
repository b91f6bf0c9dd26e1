#include "ca/record_fields.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <memory>

#include "common/ptr.h"

namespace kestrune::ca {

namespace {

constexpr std::size_t kMaxIdLength = 64;

std::optional<std::string> entryText(const X509_NAME* name, int index, int nid) {
  const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
  if (entry == nullptr || OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) != nid) {
    return std::nullopt;
  }
  return utf8Of(X509_NAME_ENTRY_get_data(entry));
}

}  // namespace

std::optional<std::int64_t> serialOf(const ASN1_INTEGER* serial) {
  std::int64_t value = 0;
  if (serial == nullptr || ASN1_INTEGER_get_int64(&value, serial) != 1 || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> secondsOf(const ASN1_TIME* time) {
  if (time == nullptr || ASN1_TIME_check(time) != 1) return std::nullopt;
  const Ptr<ASN1_TIME> epoch(ASN1_TIME_set(nullptr, 0));
  int days = 0;
  int seconds = 0;
  if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), time) != 1) return std::nullopt;
  return static_cast<std::int64_t>(days) * 86400 + seconds;
}

std::optional<std::string> utf8Of(const ASN1_STRING* text) {
  if (text == nullptr) return std::nullopt;
  unsigned char* raw = nullptr;
  const int length = ASN1_STRING_to_UTF8(&raw, text);
  const Ptr<unsigned char> utf8(raw);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(utf8.get()), static_cast<std::size_t>(length));
}

std::optional<HolderId> holderOf(const X509_NAME* name) {
  if (name == nullptr || X509_NAME_entry_count(name) != 2) return std::nullopt;
  auto sid2 = entryText(name, 0, NID_organizationName);
  auto sid1 = entryText(name, 1, NID_commonName);
  if (!sid1 || !sid2 || !validHolderId(*sid1) || !validHolderId(*sid2)) return std::nullopt;
  return HolderId{std::move(*sid1), std::move(*sid2)};
}

bool validHolderId(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (const char c : id) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace kestrune::ca
