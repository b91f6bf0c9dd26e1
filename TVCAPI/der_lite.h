// The little DER that the RSA key conversions need: a bounded reader of definite-length
// elements and writers of headers and unsigned INTEGERs.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kDerInteger = 0x02;
inline constexpr std::uint8_t kDerSequence = 0x30;

// A span of DER still to read.
struct DerCursor {
  const std::uint8_t* at;
  std::size_t left;
};

// tvxCAPIDerRead takes the next element if it has that tag: its content and length, the cursor
// moved past it. False for another tag, an indefinite or oversized length, or an element that
// runs past the end.
bool tvxCAPIDerRead(DerCursor& cursor, std::uint8_t tag, const std::uint8_t*& content,
                    std::size_t& length);

// tvxCAPIDerHeaderSize is the size of a header for content of that length;
// tvxCAPIDerWriteHeader writes it and returns its size.
std::size_t tvxCAPIDerHeaderSize(std::size_t contentLength);
std::size_t tvxCAPIDerWriteHeader(std::uint8_t* out, std::uint8_t tag, std::size_t contentLength);

// An INTEGER of the unsigned value held little-endian in le (as CryptoAPI keeps numbers), in
// its minimal encoding: no leading zero bytes, one 0x00 before a top bit that is set.
// tvxCAPIDerIntegerSize is the whole element's size; tvxCAPIDerWriteInteger writes it and
// returns that size.
std::size_t tvxCAPIDerIntegerSize(const std::uint8_t* le, std::size_t length);
std::size_t tvxCAPIDerWriteInteger(std::uint8_t* out, const std::uint8_t* le, std::size_t length);
