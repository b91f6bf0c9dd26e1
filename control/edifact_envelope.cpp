// The conversions and the signing time around the edifact library's envelope, for both
// signing paths. The message is converted once each way, and the stretches of it that the
// envelope keeps are copied back from the source instead of converted again.
#include "control/edifact_envelope.h"

#include <algorithm>
#include <array>
#include <future>
#include <system_error>

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

// Messages from this size on convert back in two parts: the text before the signature on a
// second thread while this one signs (hashing the same text), the rest afterwards.
constexpr std::size_t kConcurrentFrom = std::size_t{1} << 20;

// boundaryBefore returns a position at or before end where a character of the code page starts:
// just after the last byte below 0x40, which is never part of a double-byte character.
std::size_t boundaryBefore(std::string_view text, std::size_t end) {
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) >= 0x40) --end;
  return end;
}

// The back conversion of the signed text's part before the signature, run beside the signing.
class PrefixConversion {
 public:
  bool started() const { return done_.valid(); }

  // start converts text[0, end) on a thread of its own; false when no thread could be had (the
  // conversion is then made whole, afterwards).
  bool start(std::string_view text, std::size_t end, std::u16string_view source,
             const std::array<ReusedUnits, 3>& reused) {
    end_ = end;
    std::array<ReusedUnits, 2> clipped{};
    for (std::size_t i = 0; i < clipped.size(); ++i) {
      clipped[i] = reused[i];
      clipped[i].length =
          reused[i].textAt < end ? std::min(reused[i].length, end - reused[i].textAt) : 0;
    }
    try {
      converted_.reserve(text.size() + edifact::kMaxEnvelopeGrowth);
      done_ = std::async(std::launch::async, [this, prefix = text.substr(0, end), source, clipped] {
        return textFromCodePage950(prefix, source, clipped, converted_);
      });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }
  void wait() const {
    if (done_.valid()) done_.wait();
  }
  // finish converts the rest of text after the part and returns the whole, or the code.
  std::int32_t finish(std::string_view text, std::u16string& out) {
    if (const std::int32_t code = done_.get(); code != +ControlCode::kOk) return code;
    std::u16string rest;
    if (const std::int32_t code = textFromCodePage950(text.substr(end_), rest);
        code != +ControlCode::kOk) {
      return code;
    }
    converted_.append(rest);
    out = std::move(converted_);
    return +ControlCode::kOk;
  }

 private:
  std::size_t end_ = 0;
  std::u16string converted_;
  std::future<std::int32_t> done_;  // joined when it goes, should signing fail
};

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
  PrefixConversion prefix;
  how.headerPlaced = [&](const edifact::EnvelopePlacement& placed, std::string_view text) {
    const std::size_t bodyEnd = placed.trailerAt + placed.headerLength - placed.headerReplaced;
    if (bodyEnd < kConcurrentFrom) return;
    prefix.start(text, boundaryBefore(text, bodyEnd), source,
                 reusedSource(placed, ascii, text.size()));
  };
  // The text before the signature stays as it is until the signer returns, no longer.
  how.sign = [&](std::string_view data, std::string& hex) {
    const std::int32_t code = signer.sign(data, hex);
    prefix.wait();
    return code;
  };

  edifact::EnvelopePlacement placed;
  if (const std::int32_t code = edifact::signEdifactMessage(message, how, &placed, &scan);
      code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  std::u16string result;
  if (const std::int32_t code =
          prefix.started()
              ? prefix.finish(message, result)
              : textFromCodePage950(message, source, reusedSource(placed, ascii, message.size()),
                                    result);
      code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  state.lastErrorCode = +ControlCode::kOk;
  return result;
}

}  // namespace kestrune::control
