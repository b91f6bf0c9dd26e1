// Helpers shared by the object, key and crypt functions: label templates with a class, the
// exactly-one search, and attribute reads into owned buffers. Internal to the token layer.
#pragma once

#include <cstdint>
#include <span>

#include "token/token.h"

namespace kestrune::token::detail {

inline constexpr CK_BBOOL kTrue = CK_TRUE;
inline constexpr CK_BBOOL kFalse = CK_FALSE;

// setEntry writes one template entry (entry 0 clears the template first) and returns the next
// index; an index past the template writes nothing and returns the index unchanged.
std::size_t setEntry(AttributeTemplate& tmpl, std::size_t index, CK_ATTRIBUTE_TYPE type,
                     const void* value, CK_ULONG length);

// findExactlyOne searches and returns 0 with the object in entry 0 of the handle buffer;
// 106 when the search fails, 109 when nothing matches, 110 when several do.
std::uint32_t findExactlyOne(TokenSession* session, AttributeTemplate& tmpl, CK_ULONG count);
// findNone returns 0 when nothing matches, 106 when the search fails, 107 when something does.
std::uint32_t findNone(TokenSession* session, AttributeTemplate& tmpl, CK_ULONG count);

// The search functions every object operation needs.
std::uint32_t requireSearch();

// AttributeRead names one attribute to read and the buffer that receives it.
struct AttributeRead {
  CK_ATTRIBUTE_TYPE type;
  Bytes* value;
};
// readAttributes reads the attributes of one object together: a length query, then the values
// into buffers of exactly those lengths. Returns 0, or 111 with the buffers untouched.
// Allocation failures throw std::bad_alloc for the caller's memory guard.
std::uint32_t readAttributes(TokenSession* session, CK_OBJECT_HANDLE object,
                             std::span<const AttributeRead> reads);

}  // namespace kestrune::token::detail
