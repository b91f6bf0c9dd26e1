// toDer: the one way Kestrune turns a record into DER. It asks the encoder for the length,
// encodes into a buffer of exactly that size, and checks that the encoder wrote what it said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune {

// appendDer adds the encoding of record by i2d (an OpenSSL-style encoder: with a null output
// it returns the length) to the end of der and returns true; false with der as it was when
// record is null, the encoder fails, or it writes another length than it announced. For
// encoders that build one encoding from several records.
template <class T, class Encoder>
bool appendDer(const T* record, Encoder i2d, std::vector<std::uint8_t>& der) {
  if (record == nullptr) return false;
  const int length = i2d(const_cast<T*>(record), nullptr);
  if (length <= 0) return false;
  const std::size_t at = der.size();
  der.resize(at + static_cast<std::size_t>(length));
  unsigned char* out = der.data() + at;
  if (i2d(const_cast<T*>(record), &out) != length || out != der.data() + der.size()) {
    der.resize(at);
    return false;
  }
  return true;
}

// toDer fills der with the encoding of record and returns true; false with der empty on any
// failure of appendDer.
template <class T, class Encoder>
bool toDer(const T* record, Encoder i2d, std::vector<std::uint8_t>& der) {
  der.clear();
  return appendDer(record, i2d, der);
}

// toDer returns the encoding of record, empty on failure (see above).
template <class T, class Encoder>
std::vector<std::uint8_t> toDer(const T* record, Encoder i2d) {
  std::vector<std::uint8_t> der;
  toDer(record, i2d, der);
  return der;
}

}  // namespace kestrune
