// Name specifications: the small language in which callers name the subject and issuer of the
// certificate they want, and the matchers that test one certificate against it.
//
// A specification is alternatives separated by TAB; an alternative is lines separated by LF,
// each "key=value"; a certificate matches an alternative when it matches every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/cryptoapi.h"

// Attribute values are compared through a buffer of this size; longer values never match.
inline constexpr std::size_t kNameValueLimit = 256;
// A specification line may hold at most this many characters.
inline constexpr std::size_t kSpecLineLimit = 1023;
// A serial number item may name at most this many bytes.
inline constexpr std::size_t kSerialItemLimit = 1024;

// tvxCAPINextAlternative gives the next non-empty alternative of spec from position (TABs
// separate them, empty ones are passed over) and moves position past it; false when none is
// left. The position is the caller's, so two lookups never share a splitter.
bool tvxCAPINextAlternative(std::string_view spec, std::size_t& position,
                            std::string_view& alternative);

// The matchers give 0 for a match; 5014 for a certificate that does not match; 5045 for an
// unknown key or a last line without "="; -1 for an empty key; 5003 for a line over 1023
// characters; 5901 for a wide value with no Big5 form; 5001 when the name can't be decoded.
std::int32_t tvxCAPIValidateCertSubjectA(PCCERT_CONTEXT cert, const char* alternative,
                                         std::uint32_t flags);
std::int32_t tvxCAPIValidateCertIssuer(PCCERT_CONTEXT cert, const char* alternative,
                                       std::uint32_t flags);
// tvxCAPIValidateCertIssuerList gives 0 when any alternative of spec matches, else 5014.
std::int32_t tvxCAPIValidateCertIssuerList(PCCERT_CONTEXT cert, const char* spec,
                                           std::uint32_t flags);

// The same matchers over a text that need not be zero-terminated.
enum class NameSide { subject, issuer };
std::int32_t tvxCAPIValidateCertName(PCCERT_CONTEXT cert, std::string_view alternative,
                                     std::uint32_t flags, NameSide side);

// tvxCAPIHexToBytes reads hexadecimal digits into bytes, the first byte most significant (an
// odd count gives the first digit a byte of its own); false for any other character, for no
// digits, or for more than capacity bytes. count receives the bytes written.
bool tvxCAPIHexToBytes(std::string_view hex, BYTE* out, std::size_t capacity, std::size_t& count);

// tvxCAPIMatchSerialList tells whether one of the ";"-separated serial numbers of list equals
// the serial number (CryptoAPI's order, least significant byte first). A certificate's serial
// with one extra leading 0x00 still equals the item without it.
bool tvxCAPIMatchSerialList(const CRYPT_INTEGER_BLOB& serial, std::string_view list);
