// Decoding and encoding through the records' d2i_ / i2d_ in the tests.
#pragma once

#include <gtest/gtest.h>

#include "FEDIX509/fedi_x509.h"
#include "fedi_der.h"

namespace kestrune::fedi::test {

// decode returns the record when d2i consumed exactly der, else null.
template <class T>
RecordPtr<T> decode(T* (*d2i)(T**, const unsigned char**, long), const Bytes& der) {
  const unsigned char* pos = der.data();
  RecordPtr<T> record(d2i(nullptr, &pos, static_cast<long>(der.size())));
  if (record && pos != der.data() + der.size()) {
    ADD_FAILURE() << "d2i stopped at " << (pos - der.data()) << " of " << der.size();
    return nullptr;
  }
  return record;
}

// encode returns i2d's bytes, checking that the length call and the write agree.
template <class T>
Bytes encode(int (*i2d)(const T*, unsigned char**), const T* record) {
  const int length = i2d(record, nullptr);
  if (length <= 0) return {};
  Bytes out(static_cast<std::size_t>(length));
  unsigned char* pos = out.data();
  EXPECT_EQ(length, i2d(record, &pos));
  EXPECT_EQ(out.data() + out.size(), pos);
  return out;
}

}  // namespace kestrune::fedi::test
