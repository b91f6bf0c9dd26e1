// The CA queries on arbitrary bytes. The first byte picks the body the query is read with
// (certificate, revocation list, CA public key); the rest is its DER. What decodes must
// round-trip; decoding over an existing query gives what a fresh decode gives, and a failed
// decode leaves both the position and the existing query as they were.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_query_fuzzer";

using kestrune::fuzz::encodeOrAbort;
using kestrune::fuzz::require;

template <int BodyType>
FEDI_QUERY* d2iQuery(FEDI_QUERY** out, const unsigned char** pos, long len) {
  return d2i_FEDI_QUERY(out, pos, len, BodyType);
}

template <int BodyType>
void checkQuery(const std::uint8_t* data, std::size_t size) {
  const unsigned char* pos = data;
  FEDI_QUERY* query = d2iQuery<BodyType>(nullptr, &pos, static_cast<long>(size));
  const auto consumed = static_cast<std::size_t>(pos - data);
  if (query == nullptr) {
    require(kTarget, consumed == 0, "a failed decode moved the position");
  } else {
    require(kTarget, query->bodyType == BodyType, "the body is not of the type asked for");
    kestrune::fuzz::checkRoundTrip(kTarget, d2iQuery<BodyType>, i2d_FEDI_QUERY, FEDI_QUERY_free,
                                   static_cast<const FEDI_QUERY*>(query), data, consumed);
  }

  FEDI_QUERY* existing = FEDI_QUERY_new("GeT_CeRt", BodyType);
  require(kTarget, existing != nullptr, "no new query");
  const std::vector<std::uint8_t> before =
      encodeOrAbort(kTarget, i2d_FEDI_QUERY, static_cast<const FEDI_QUERY*>(existing));
  pos = data;
  FEDI_QUERY* over = d2iQuery<BodyType>(&existing, &pos, static_cast<long>(size));
  require(kTarget, (over != nullptr) == (query != nullptr),
          "a decode over an existing query decides otherwise than a fresh one");
  require(kTarget, pos == data + consumed, "a decode over an existing query read differently");
  const std::vector<std::uint8_t> after =
      encodeOrAbort(kTarget, i2d_FEDI_QUERY, static_cast<const FEDI_QUERY*>(existing));
  if (query == nullptr) {
    require(kTarget, after == before, "a failed decode changed the existing query");
  } else {
    require(kTarget, over == existing, "a decode over an existing query returned another");
    require(kTarget,
            after == encodeOrAbort(kTarget, i2d_FEDI_QUERY, static_cast<const FEDI_QUERY*>(query)),
            "a decode over an existing query differs from a fresh one");
  }
  FEDI_QUERY_free(existing);
  FEDI_QUERY_free(query);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t* der = data + 1;
  const std::size_t len = size - 1;
  switch (data[0] % 3) {
    case 0:
      checkQuery<FEDI_CT_GET_CERT>(der, len);
      break;
    case 1:
      checkQuery<FEDI_CT_GET_CRL>(der, len);
      break;
    default:
      checkQuery<FEDI_CT_GET_CAPK>(der, len);
      break;
  }
  return 0;
}
