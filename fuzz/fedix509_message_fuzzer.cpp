// d2i_FEDI_MESSAGE on arbitrary bytes, which reaches every content record of the table: what
// decodes re-encodes (the content afresh through its type's encoder), byte for byte for DER
// input, and the content can be set again from its own record.
#include <cstddef>
#include <cstdint>

#include "FEDIX509/fedi_message.h"
#include "fuzz/fedix509_roundtrip.h"

namespace {

constexpr const char* kTarget = "fedix509_message_fuzzer";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrune::fuzz::require;
  const unsigned char* pos = data;
  FEDI_MESSAGE* msg = d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(size));
  if (msg == nullptr) return 0;
  // A revocation request reads its optional context tags in either constructed form and writes
  // its own, inside a message as alone.
  const bool revocation = msg->content->type == FEDI_CT_REV_REQ;
  kestrune::fuzz::checkRoundTrip(kTarget, d2i_FEDI_MESSAGE, i2d_FEDI_MESSAGE, FEDI_MESSAGE_free,
                                 static_cast<const FEDI_MESSAGE*>(msg), data,
                                 static_cast<std::size_t>(pos - data), revocation);
  if (msg->content->record != nullptr) {
    FEDI_CONTENT* copy = FEDI_CONTENT_new();
    require(kTarget, copy != nullptr, "no new holder");
    require(kTarget, FEDI_CONTENT_set(copy, msg->content->type, msg->content->record) == 0,
            "a decoded record cannot be set");
    require(kTarget, copy->der_length > 0, "no cached DER");
    FEDI_CONTENT_free(copy);
  }
  FEDI_MESSAGE_free(msg);
  return 0;
}
