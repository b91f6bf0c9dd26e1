// The shared steps of the coder tables: a kind's object written out as DER, Base64 or PEM, and
// DER or text read back into a new handle of the kind.
#pragma once

#include <cstdint>

#include "TVCAPI/core_internal.h"

// A kind's DER writer: the size of the object's DER, written when buffer holds it; -1 when the
// object can't be written.
using TvxDerWriter = std::int32_t (*)(const void* object, std::uint8_t* buffer,
                                      std::int32_t capacity);
// A kind's builder: the object made from DER, wrapped in a new handle. 0; the kind's failure
// code when the DER makes no object; the handle creation's code (the object released).
using TvxHandleBuilder = std::int32_t (*)(const std::uint8_t* der, std::uint32_t length,
                                          TVCAPIHandle** out);

// tvxCAPI_ASN1_Encode writes the object as DER or, with option 0x1000, as text: PEM with the
// label when armour points at a non-zero value (and label is non-null), bare Base64 otherwise.
// A secret object's DER is wiped from the work buffer after use.
std::int32_t tvxCAPI_ASN1_Encode(const void* object, TvxDerWriter writer, TVCAPI_BLOB* blob,
                                 std::uint32_t options, const std::int32_t* armour,
                                 const char* label, bool secret);
// tvxCAPI_ASN1_Decode reads DER or, with option 0x2000, text with one of the labels (5045 of
// the armour becomes failure), and hands the DER to the builder.
std::int32_t tvxCAPI_ASN1_Decode(TVCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t options, const char* labels, std::int32_t failure,
                                 TvxHandleBuilder builder, bool secret);

// The entries that a table offers but a kind doesn't support.
std::int32_t tvxCAPINotSupported(void);
