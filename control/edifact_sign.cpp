// FEDIMessageSign: the token's side of the EDIFACT security envelope. The envelope itself is
// built by the edifact library; this method supplies the token type, the signing time,
// the signer's identity and the token signature.
#include <algorithm>
#include <array>
#include <span>

#include "control/control_internal.h"
#include "control/identity_internal.h"
#include "control/text_conversion.h"
#include "edifact/edifact.h"
#include "platform/platform.h"

namespace kestrune {
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
std::array<control::ReusedUnits, 3> reusedSource(const edifact::EnvelopePlacement& placed,
                                                 std::size_t ascii, std::size_t signedSize) {
  const std::size_t headerEnd = placed.headerAt + placed.headerReplaced;
  const std::size_t trailerEnd = placed.trailerAt + placed.trailerReplaced;
  const std::size_t grownBy = placed.headerLength - placed.headerReplaced;
  const std::size_t trailerGrownBy = placed.trailerLength - placed.trailerReplaced;
  const std::size_t suffixAt = trailerEnd + grownBy + trailerGrownBy;  // in the signed text
  const auto stretch = [ascii](std::size_t textAt, std::size_t sourceAt, std::size_t length) {
    return control::ReusedUnits{textAt, sourceAt,
                                sourceAt < ascii ? std::min(length, ascii - sourceAt) : 0};
  };
  return {stretch(0, 0, placed.headerAt),
          stretch(placed.headerAt + placed.headerLength, headerEnd, placed.trailerAt - headerEnd),
          stretch(suffixAt, trailerEnd, signedSize - suffixAt)};
}

}  // namespace

std::optional<std::u16string> TVFEDIMiniKeyCrypt::FEDIMessageSign(std::u16string_view SourceData) {
  return control::inFrame(*this, [&]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = +ControlCode::kNotCompleted;
    if (pinVerified() == 0) {
      lastErrorCode = +ControlCode::kPinNotVerified;
      return std::nullopt;
    }
    // Room for the envelope is made once, so the message isn't moved again while signed.
    std::string message;
    message.reserve(SourceData.size() + edifact::kMaxEnvelopeGrowth);
    // The envelope's search runs over the text as the conversion writes it.
    std::size_t ascii = 0;
    edifact::MessageScan scan;
    if (control::textToCodePage950(SourceData, message, &ascii, [&scan](std::string_view written) {
          scan.advance(written);
        }) != +ControlCode::kOk) {
      lastErrorCode = +ControlCode::kBadText;
      return std::nullopt;
    }
    scan.finish(message);

    edifact::EnvelopeSigning how;
    how.keyType = type;
    platform::CivilTime now;
    if (!platform::localTime(platform::currentTime(), now)) return std::nullopt;
    how.signedAt = {now.year, now.month, now.day, now.hour, now.minute, now.second};
    // The identifiers are read as getCSN, getSID1 and getSID2 read them; which one failed,
    // and why, isn't reported: any of them missing is 12.
    how.readIdentity = [&](edifact::SignerIdentity& identity) -> std::int32_t {
      const bool haveCsn = control::readCsn(*this, type, identity.csn) == +ControlCode::kOk;
      control::readSid(*this, 1, type);
      control::readSid(*this, 2, type);
      if (!haveCsn || !sid1Cache || !sid2Cache) return +ControlCode::kReadFailed;
      identity.sid1 = *sid1Cache;
      identity.sid2 = *sid2Cache;
      return +ControlCode::kOk;
    };
    how.sign = [&](std::string_view data, std::string& hex) -> std::int32_t {
      const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                data.size());
      auto signature = control::signDigest(*this, bytes, true, type);
      if (!signature) return lastErrorCode;
      hex = std::move(*signature);
      return +ControlCode::kOk;
    };

    edifact::EnvelopePlacement placed;
    if (const std::int32_t code = edifact::signEdifactMessage(message, how, &placed, &scan);
        code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    std::u16string result;
    if (const std::int32_t code = control::textFromCodePage950(
            message, SourceData, reusedSource(placed, ascii, message.size()), result);
        code != +ControlCode::kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    lastErrorCode = +ControlCode::kOk;
    return result;
  });
}

}  // namespace kestrune
