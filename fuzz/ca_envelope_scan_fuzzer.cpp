// The authority's scan of a body that does not decode as a FEDI message, on arbitrary bytes.
// It must agree with the decoder: a body it calls a message of an unknown content type never
// decodes, and a body that decodes whole is a message with a coded type (or, with an
// indefinite outer length, no DER message at all). A body it calls a message is one SEQUENCE
// spanning the body, so a byte more makes it no message.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "ca/message_service.h"
#include "fuzz/fuzz_require.h"

namespace {

constexpr const char* kTarget = "ca_envelope_scan_fuzzer";

using kestrune::ca::classifyUndecodable;
using kestrune::ca::UndecodableBody;
using kestrune::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const UndecodableBody kind = classifyUndecodable(std::span<const std::uint8_t>(data, size));

  const unsigned char* pos = data;
  kestrune::fedi::MessagePtr msg(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(size)));
  if (kind == UndecodableBody::unknownContentType) {
    require(kTarget, msg == nullptr, "a message of an unknown content type decodes");
  }
  if (msg != nullptr && pos == data + size) {
    require(kTarget, kind != UndecodableBody::unknownContentType,
            "a decoded message has an unknown content type");
    require(kTarget, kind != UndecodableBody::notAMessage || (size > 1 && data[1] == 0x80),
            "a decoded message with a definite length is no message");
  }

  if (kind != UndecodableBody::notAMessage) {
    std::vector<std::uint8_t> longer(data, data + size);
    longer.push_back(0);
    require(kTarget, classifyUndecodable(longer) == UndecodableBody::notAMessage,
            "a message with a byte after it is still a message");
  }
  return 0;
}
