// The records the CA queries send, their owners, and the fields that the methods fill from the
// caller's texts: serial numbers given in decimal and dates given as YYYYMMDD[hhmmss].
#pragma once

#include <openssl/asn1.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "FEDIX509/fedi_message.h"

namespace kestrune::control {

// The type tags of the three queries.
inline constexpr const char* kCertificateQueryTag = "GeT_CeRt";
inline constexpr const char* kCrlQueryTag = "GeT_CrL_";
inline constexpr const char* kCaKeyQueryTag = "GeT_CaPk";

// setSerialFromText sets *field (made as an INTEGER when absent) to the decimal number text
// and returns 0; 2 when the INTEGER can't be made or set, 3 when text is no decimal number of
// at most 255 bytes.
std::int32_t setSerialFromText(ASN1_INTEGER** field, std::string_view text);

// setTimeFromDate sets *field (made as a UTCTime when absent) to the local time of date, a
// UTCTime for the years 1950 to 2049 and a GeneralizedTime otherwise, and returns 0; 2 when
// the time can't be made, 4 when date is unreadable or out of the time's range.
std::int32_t setTimeFromDate(ASN1_TIME** field, std::string_view date);

// setText replaces the bytes of a string field by text; false when they can't be set.
bool setText(ASN1_STRING* field, std::string_view text);

}  // namespace kestrune::control
