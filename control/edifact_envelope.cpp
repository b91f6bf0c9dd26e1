// The conversions and the signing time around the edifact library's envelope, for both
// signing paths. The message is converted once each way, and the stretches of it that the
// envelope keeps are copied back from the source instead of converted again.
#include "control/edifact_envelope.h"

#include <algorithm>
#include <array>

#include "control/text_conversion.h"
#include "platform/platform.h"

namespace kestrune::control {
namespace {

// The envelope's codes pass through as the control's.
static_assert(edifact::kOk == +ControlCode::kOk &&
              edifact::kNotCompleted == +ControlCode::kNotCompleted &&
              edifact::kNoMemory == +ControlCode::kNoMemory &&
              edifact::kEncodeFailed == +ControlCode::kEncodeFailed &&
              edifact::kNoSignature == +ControlCode::kNoSignature);

// reusedSource returns the stretches of the signed text that repeat the source: the parts
// kept around the envelope, as far as they lie in the source's leading ASCII run. Each starts
// the text or follows the envelope's header group (its terminator) or trailer (a digit).
std::array<ReusedUnits, 3> reusedSource(const edifact::EnvelopePlacement& placed, std::size_t ascii,
                                        std::size_t signedSize) {
  const std::size_t headerEnd = placed.headerAt + placed.headerReplaced;
  const std::size_t trailerEnd = placed.trailerAt + placed.trailerReplaced;
  const std::size_t grownBy = placed.headerLength - placed.headerReplaced;
  const std::size_t trailerGrownBy = placed.trailerLength - placed.trailerReplaced;
  const std::size_t suffixAt = trailerEnd + grownBy + trailerGrownBy;  // in the signed text
  const auto stretch = [ascii](std::size_t textAt, std::size_t sourceAt, std::size_t length) {
    return ReusedUnits{textAt, sourceAt, sourceAt < ascii ? std::min(length, ascii - sourceAt) : 0};
  };
  return {stretch(0, 0, placed.headerAt),
          stretch(placed.headerAt + placed.headerLength, headerEnd, placed.trailerAt - headerEnd),
          stretch(suffixAt, trailerEnd, signedSize - suffixAt)};
}

}  // namespace

std::optional<std::u16string> signedEnvelope(ControlState& state, std::u16string_view source,
                                             const EnvelopeSigner& signer) {
  // Room for the envelope is made once, so the message isn't moved again while signed.
  std::string message;
  message.reserve(source.size() + edifact::kMaxEnvelopeGrowth);
  // The envelope's search runs over the text as the conversion writes it.
  std::size_t ascii = 0;
  edifact::MessageScan scan;
  if (textToCodePage950(source, message, &ascii, [&scan](std::string_view written) {
        scan.advance(written);
      }) != +ControlCode::kOk) {
    state.lastErrorCode = +ControlCode::kBadText;
    return std::nullopt;
  }
  scan.finish(message);
  if (signer.ready) {
    if (const std::int32_t code = signer.ready(); code != +ControlCode::kOk) {
      state.lastErrorCode = code;
      return std::nullopt;
    }
  }

  edifact::EnvelopeSigning how;
  how.keyType = signer.keyType;
  platform::CivilTime now;
  if (!platform::localTime(platform::currentTime(), now)) return std::nullopt;
  how.signedAt = {now.year, now.month, now.day, now.hour, now.minute, now.second};
  how.readIdentity = signer.readIdentity;
  how.sign = signer.sign;

  edifact::EnvelopePlacement placed;
  if (const std::int32_t code = edifact::signEdifactMessage(message, how, &placed, &scan);
      code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  std::u16string result;
  if (const std::int32_t code =
          textFromCodePage950(message, source, reusedSource(placed, ascii, message.size()), result);
      code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  state.lastErrorCode = +ControlCode::kOk;
  return result;
}

}  // namespace kestrune::control
