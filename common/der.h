// toDer: the one way Kestrune turns a record into DER. It asks the encoder for the length,
// encodes into a buffer of exactly that size, and checks that the encoder wrote what it said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune {

// toDer fills der with the encoding of record by i2d (an OpenSSL-style encoder: with a null
// output it returns the length) and returns true; false with der empty when record is null,
// the encoder fails, or it writes another length than it announced.
template <class T, class Encoder>
bool toDer(const T* record, Encoder i2d, std::vector<std::uint8_t>& der) {
  der.clear();
  if (record == nullptr) return false;
  const int length = i2d(const_cast<T*>(record), nullptr);
  if (length <= 0) return false;
  der.resize(static_cast<std::size_t>(length));
  unsigned char* out = der.data();
  if (i2d(const_cast<T*>(record), &out) != length || out != der.data() + length) {
    der.clear();
    return false;
  }
  return true;
}

// toDer returns the encoding of record, empty on failure (see above).
template <class T, class Encoder>
std::vector<std::uint8_t> toDer(const T* record, Encoder i2d) {
  std::vector<std::uint8_t> der;
  toDer(record, i2d, der);
  return der;
}

}  // namespace kestrune
