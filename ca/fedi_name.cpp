// FEDI names: exactly two single-valued entries, O then CN, both of one string type. The texts
// are converted by OpenSSL's multi-byte copy, which refuses invalid UTF-8 and characters that a
// PrintableString cannot hold instead of writing a string that lies about its type.
#include <climits>
#include <string>

#include "ca/issuing_parts.h"

namespace kestrune::ca::detail {

namespace {

bool addEntry(X509_NAME& name, int nid, const std::string& text, StringKind kind) {
  if (text.empty() || text.size() > INT_MAX) return false;
  const unsigned long mask =
      kind == StringKind::printable ? B_ASN1_PRINTABLESTRING : B_ASN1_UTF8STRING;
  ASN1_STRING* converted = nullptr;
  if (ASN1_mbstring_copy(&converted, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size()), MBSTRING_UTF8, mask) < 0) {
    return false;
  }
  Ptr<ASN1_STRING> value(converted);
  // set 0: each entry is its own RDN (-1 would join it to the previous one).
  return X509_NAME_add_entry_by_NID(&name, nid, value->type, value->data, value->length, -1, 0) ==
         1;
}

}  // namespace

Ptr<X509_NAME> makeName(const FediName& name, Status& status) {
  Ptr<X509_NAME> built(X509_NAME_new());
  if (!built) {
    status = Status::noMemory;
    return nullptr;
  }
  if (!addEntry(*built, NID_organizationName, name.organization, name.kind) ||
      !addEntry(*built, NID_commonName, name.commonName, name.kind)) {
    status = Status::badName;
    return nullptr;
  }
  return built;
}

}  // namespace kestrune::ca::detail
