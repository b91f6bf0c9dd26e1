// Decoding issued records back with the FEDI decoders, as a receiver would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FEDIX509/fedi_x509.h"

namespace kestrune::ca::test {

// decodeWhole returns the record when d2i consumed exactly der, else null.
template <class T>
fedi::RecordPtr<T> decodeWhole(T* (*d2i)(T**, const unsigned char**, long),
                               const std::vector<std::uint8_t>& der) {
  const unsigned char* pos = der.data();
  fedi::RecordPtr<T> record(d2i(nullptr, &pos, static_cast<long>(der.size())));
  if (record && pos != der.data() + der.size()) {
    ADD_FAILURE() << "d2i stopped at " << (pos - der.data()) << " of " << der.size();
    return nullptr;
  }
  return record;
}

inline std::string text(const ASN1_STRING* s) {
  return s != nullptr ? std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                    static_cast<std::size_t>(ASN1_STRING_length(s)))
                      : std::string();
}

}  // namespace kestrune::ca::test
