// The round trip every FEDI record fuzz target checks: what decodes re-encodes; DER input
// re-encodes to the same bytes; and a re-encoding that decodes again re-encodes to itself.
// (A re-encoding of non-DER input need not decode: OpenSSL keeps an AlgorithmIdentifier
// parameter written as a constructed end-of-contents, 20 00, and writes it back as 00 00.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fedix509_strict_der.h"

namespace kestrune::fuzz {

template <class T>
std::vector<std::uint8_t> encodeOrAbort(const char* target, int (*i2d)(const T*, unsigned char**),
                                        const T* record) {
  const int length = i2d(record, nullptr);
  require(target, length > 0, "a decoded record does not encode");
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  unsigned char* pos = out.data();
  require(target, i2d(record, &pos) == length, "encoded length changed");
  require(target, pos == out.data() + out.size(), "encoder moved the position wrongly");
  return out;
}

// checkRoundTrip runs the checks on record, decoded from input[0..consumed). A record that
// reads its optional context tags with the constructed bit masked off (the revocation body)
// passes constructedBitTolerated: its re-encoding may differ from DER input in that bit only.
template <class T>
void checkRoundTrip(const char* target, T* (*d2i)(T**, const unsigned char**, long),
                    int (*i2d)(const T*, unsigned char**), void (*release)(T*), const T* record,
                    const std::uint8_t* input, std::size_t consumed,
                    bool constructedBitTolerated = false) {
  const std::vector<std::uint8_t> once = encodeOrAbort(target, i2d, record);
  if (StrictDer::isStrictDer(input, consumed)) {
    requireSame(target, input, consumed, once.data(), once.size(), constructedBitTolerated);
  }
  const unsigned char* pos = once.data();
  T* again = d2i(nullptr, &pos, static_cast<long>(once.size()));
  if (again == nullptr) return;
  require(target, pos == once.data() + once.size(), "the re-encoding decodes short");
  const std::vector<std::uint8_t> twice = encodeOrAbort(target, i2d, static_cast<const T*>(again));
  release(again);
  requireSame(target, once.data(), once.size(), twice.data(), twice.size());
}

}  // namespace kestrune::fuzz
