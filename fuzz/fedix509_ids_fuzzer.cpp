// The identifier records and the status record on arbitrary bytes. The first byte picks the
// record (pair, OsId request and answer, CsId request and answer, CcHn request, status); the
// rest is its DER. What decodes must round-trip; decoding over an existing record gives what a
// fresh decode gives, and a failed decode leaves both the position and the existing record as
// they were.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_ids_fuzzer";

using kestrune::fuzz::encodeOrAbort;
using kestrune::fuzz::require;

template <class T>
struct Coders {
  T* (*create)();
  void (*release)(T*);
  T* (*d2i)(T**, const unsigned char**, long);
  int (*i2d)(const T*, unsigned char**);
};

template <class T>
void checkRecord(const Coders<T>& c, const std::uint8_t* data, std::size_t size) {
  const unsigned char* pos = data;
  T* record = c.d2i(nullptr, &pos, static_cast<long>(size));
  const auto consumed = static_cast<std::size_t>(pos - data);
  if (record == nullptr) {
    require(kTarget, consumed == 0, "a failed decode moved the position");
  } else {
    kestrune::fuzz::checkRoundTrip(kTarget, c.d2i, c.i2d, c.release, static_cast<const T*>(record),
                                   data, consumed);
  }

  T* existing = c.create();
  require(kTarget, existing != nullptr, "no new record");
  const std::vector<std::uint8_t> before =
      encodeOrAbort(kTarget, c.i2d, static_cast<const T*>(existing));
  pos = data;
  T* over = c.d2i(&existing, &pos, static_cast<long>(size));
  require(kTarget, (over != nullptr) == (record != nullptr),
          "a decode over an existing record decides otherwise than a fresh one");
  require(kTarget, pos == data + consumed, "a decode over an existing record read differently");
  const std::vector<std::uint8_t> after =
      encodeOrAbort(kTarget, c.i2d, static_cast<const T*>(existing));
  if (record == nullptr) {
    require(kTarget, after == before, "a failed decode changed the existing record");
  } else {
    require(kTarget, over == existing, "a decode over an existing record returned another");
    require(kTarget, after == encodeOrAbort(kTarget, c.i2d, static_cast<const T*>(record)),
            "a decode over an existing record differs from a fresh one");
  }
  c.release(existing);
  c.release(record);
}

// FEDI_STATUS keeps its code as a number too; over an existing record it must follow the code.
void checkStatus(const std::uint8_t* data, std::size_t size) {
  checkRecord(
      Coders<FEDI_STATUS>{FEDI_STATUS_new, FEDI_STATUS_free, d2i_FEDI_STATUS, i2d_FEDI_STATUS},
      data, size);
  const unsigned char* pos = data;
  FEDI_STATUS* fresh = d2i_FEDI_STATUS(nullptr, &pos, static_cast<long>(size));
  if (fresh == nullptr) return;
  FEDI_STATUS* existing = FEDI_STATUS_new();
  require(kTarget, existing != nullptr, "no new record");
  existing->value = 12345;
  pos = data;
  require(kTarget, d2i_FEDI_STATUS(&existing, &pos, static_cast<long>(size)) == existing,
          "a status decode over an existing record failed");
  require(kTarget, existing->value == fresh->value, "the status number does not follow its code");
  FEDI_STATUS_free(existing);
  FEDI_STATUS_free(fresh);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t* der = data + 1;
  const std::size_t len = size - 1;
  switch (data[0] % 7) {
    case 0:
      checkRecord(Coders<FEDI_ID_PAIR>{FEDI_ID_PAIR_new, FEDI_ID_PAIR_free, d2i_FEDI_ID_PAIR,
                                       i2d_FEDI_ID_PAIR},
                  der, len);
      break;
    case 1:
      checkRecord(Coders<FEDI_OSID_REQ>{FEDI_OSID_REQ_new, FEDI_OSID_REQ_free, d2i_FEDI_OSID_REQ,
                                        i2d_FEDI_OSID_REQ},
                  der, len);
      break;
    case 2:
      checkRecord(Coders<FEDI_OSID_RESP>{FEDI_OSID_RESP_new, FEDI_OSID_RESP_free,
                                         d2i_FEDI_OSID_RESP, i2d_FEDI_OSID_RESP},
                  der, len);
      break;
    case 3:
      checkRecord(Coders<FEDI_CSID_REQ>{FEDI_CSID_REQ_new, FEDI_CSID_REQ_free, d2i_FEDI_CSID_REQ,
                                        i2d_FEDI_CSID_REQ},
                  der, len);
      break;
    case 4:
      checkRecord(Coders<FEDI_CSID_RESP>{FEDI_CSID_RESP_new, FEDI_CSID_RESP_free,
                                         d2i_FEDI_CSID_RESP, i2d_FEDI_CSID_RESP},
                  der, len);
      break;
    case 5:
      checkRecord(Coders<FEDI_CCHN_REQ>{FEDI_CCHN_REQ_new, FEDI_CCHN_REQ_free, d2i_FEDI_CCHN_REQ,
                                        i2d_FEDI_CCHN_REQ},
                  der, len);
      break;
    default:
      checkStatus(der, len);
      break;
  }
  return 0;
}
