// The subject names of the certificate requests: an X.509 name built entry by entry from
// (attribute short name, value) pairs.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <span>
#include <string_view>

#include "common/ptr.h"

namespace kestrune::control {

struct NameEntry {
  const char* shortName;  // "O", "CN", ...
  std::string_view value;
};

// makeNameFromTable returns a name with one entry per pair, in order, or null (an unknown
// attribute or memory exhaustion; the partial name is freed). Each value is stored as the
// narrowest string type that holds it: PrintableString for letters, digits and the few
// printable punctuation marks, IA5String for other ASCII, T61String for 8-bit bytes.
Ptr<X509_NAME> makeNameFromTable(std::span<const NameEntry> entries);

}  // namespace kestrune::control
