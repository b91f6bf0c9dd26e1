// A strict DER check for the FEDI record fuzz targets: input that passes it is in the form the
// record encoders write, so a record decoded from it must re-encode to the same bytes.
// It accepts a subset of DER (low tag numbers only, lengths of at most four bytes) and refuses
// what the decoders legitimately normalise: indefinite or non-minimal lengths, constructed
// strings, non-zero padding bits of a BIT STRING, non-canonical BOOLEANs, SET elements out of
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_require.h"

namespace kestrune::fuzz {

class StrictDer {
 public:
  // isStrictDer returns true when data[0..size) is exactly one or more strict DER values.
  static bool isStrictDer(const std::uint8_t* data, std::size_t size) {
    return StrictDer{}.values(data, size, 0);
  }

 private:
  static constexpr int kMaxDepth = 64;

  // values checks a run of values; ordered asks for DER's order of the elements of a SET:
  // ascending encodings, compared as octet strings.
  bool values(const std::uint8_t* p, std::size_t size, int depth, bool ordered = false) {
    if (depth > kMaxDepth) return false;
    const std::uint8_t* previous = nullptr;
    std::size_t previousSize = 0;
    while (size > 0) {
      std::size_t used = 0;
      if (!value(p, size, depth, used)) return false;
      if (ordered && previous != nullptr && !inOrder(previous, previousSize, p, used)) {
        return false;
      }
      previous = p;
      previousSize = used;
      p += used;
      size -= used;
    }
    return true;
  }

  static bool inOrder(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b,
                      std::size_t bSize) {
    const int order = std::memcmp(a, b, aSize < bSize ? aSize : bSize);
    return order < 0 || (order == 0 && aSize <= bSize);
  }

  bool value(const std::uint8_t* p, std::size_t size, int depth, std::size_t& used) {
    if (size < 2) return false;
    const std::uint8_t identifier = p[0];
    const int tagClass = identifier & 0xC0;
    const bool constructed = (identifier & 0x20) != 0;
    const int number = identifier & 0x1F;
    if (number == 0x1F) return false;  // high tag numbers: outside the subset
    std::size_t length = 0;
    std::size_t header = 2;
    if (p[1] < 0x80) {
      length = p[1];
    } else {
      const std::size_t count = p[1] & 0x7F;
      if (count == 0 || count > 4 || size < 2 + count) return false;  // indefinite or too long
      if (p[2] == 0) return false;                                    // leading zero byte
      for (std::size_t i = 0; i < count; ++i) length = (length << 8) | p[2 + i];
      if (length < 0x80) return false;  // the short form would do
      header += count;
    }
    if (length > size - header) return false;
    used = header + length;
    const std::uint8_t* content = p + header;
    if (tagClass != 0) return !constructed || values(content, length, depth + 1);
    switch (number) {
      case 0:  // end-of-contents is no value
        return false;
      case 16:  // SEQUENCE
        return constructed && values(content, length, depth + 1);
      case 17:  // SET: the encoders sort its elements, so only a sorted one re-encodes alike
        return constructed && values(content, length, depth + 1, true);
      default:
        if (constructed) return false;
        return primitive(number, content, length);
    }
  }

  static bool primitive(int number, const std::uint8_t* content, std::size_t length) {
    switch (number) {
      case 1:  // BOOLEAN
        return length == 1 && (content[0] == 0x00 || content[0] == 0xFF);
      case 2:   // INTEGER
      case 10:  // ENUMERATED
        if (length == 0) return false;
        if (length > 1 && content[0] == 0x00 && (content[1] & 0x80) == 0) return false;
        if (length > 1 && content[0] == 0xFF && (content[1] & 0x80) != 0) return false;
        return true;
      case 3: {  // BIT STRING
        if (length == 0 || content[0] > 7) return false;
        if (length == 1) return content[0] == 0;
        const std::uint8_t padding = static_cast<std::uint8_t>((1U << content[0]) - 1);
        return (content[length - 1] & padding) == 0;
      }
      case 5:  // NULL
        return length == 0;
      case 6:   // OBJECT IDENTIFIER
      case 13:  // RELATIVE-OID
        if (length == 0 || (content[length - 1] & 0x80) != 0) return false;
        for (std::size_t i = 0; i < length; ++i) {
          const bool starts = i == 0 || (content[i - 1] & 0x80) == 0;
          if (starts && content[i] == 0x80) return false;
        }
        return true;
      default:
        return true;
    }
  }
};

// requireSame aborts with a message when the re-encoding differs from the input. With
// constructedBitTolerated, bytes that differ only in the constructed bit (0x20) count as the
// same: a record whose optional context tags are read with that bit masked off accepts either
// form and writes its own.
inline void requireSame(const char* target, const std::uint8_t* input, std::size_t inputSize,
                        const std::uint8_t* output, std::size_t outputSize,
                        bool constructedBitTolerated = false) {
  bool same = inputSize == outputSize;
  for (std::size_t i = 0; same && i < inputSize; ++i) {
    const auto difference = static_cast<std::uint8_t>(input[i] ^ output[i]);
    same = difference == 0 || (constructedBitTolerated && difference == 0x20);
  }
  if (same) return;
  std::fprintf(stderr, "%s: DER input re-encodes differently (%zu bytes in, %zu out)\n", target,
               inputSize, outputSize);
  std::abort();
}

}  // namespace kestrune::fuzz
