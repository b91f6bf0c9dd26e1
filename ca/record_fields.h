// Reading the fields of received records into the authority's own terms: serial numbers,
// times, texts and holder names. Each reader refuses what it cannot represent exactly.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ca/authority_store.h"

namespace kestrune::ca {

// serialOf returns the value of a non-negative INTEGER that fits 63 bits, or none.
std::optional<std::int64_t> serialOf(const ASN1_INTEGER* serial);

// secondsOf returns a UTCTime or GeneralizedTime as seconds since 1970, or none for a time
// OpenSSL cannot read (the never-expiring all-nines text among them).
std::optional<std::int64_t> secondsOf(const ASN1_TIME* time);

// utf8Of returns the text of a string of any type as UTF-8, or none.
std::optional<std::string> utf8Of(const ASN1_STRING* text);

// holderOf returns SID1 and SID2 of a FEDI name (exactly two entries, O = SID2 then
// CN = SID1), or none.
std::optional<HolderId> holderOf(const X509_NAME* name);

// validHolderId: 1 to 64 characters of printable ASCII each.
bool validHolderId(const std::string& id);

}  // namespace kestrune::ca
