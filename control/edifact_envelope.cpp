// The conversions and the signing time around the edifact library's envelope, for both
// signing paths. The message is converted once each way, and the stretches of it that the
// envelope keeps are copied back from the source instead of converted again.
#include "control/edifact_envelope.h"

#include <algorithm>
#include <array>
#include <future>
#include <new>
#include <span>
#include <vector>
#include <system_error>

#include "control/body_hasher.h"
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

// completeConversion converts rest, appends it to the part converted beforehand and hands the
// whole over to out; 0 or the conversion's code.
std::int32_t completeConversion(std::u16string& converted, std::string_view rest,
                                std::u16string& out) {
  std::u16string tail;
  if (const std::int32_t code = textFromCodePage950(rest, tail); code != +ControlCode::kOk) {
    return code;
  }
  converted.append(tail);
  out = std::move(converted);
  return +ControlCode::kOk;
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
    return completeConversion(converted_, text.substr(end_), out);
  }

 private:
  std::size_t end_ = 0;
  std::u16string converted_;
  std::future<std::int32_t> done_;  // joined when it goes, should signing fail
};

// The guess a long message is signed on while it converts: a message without an envelope gets
// this header group right after its UNH segment, so the signed bytes are the header and the
// body as the envelope's search finds it. What the library then does shows whether the guess
// held; where it didn't, the message is signed as usual.
class SpeculativeSigning {
 public:
  // begin starts the hash of the guessed header beside the conversion; the text is about to be
  // written into message, whose room is made here so that it never moves.
  void begin(const EnvelopeSigner& signer, const edifact::SigningTime& signedAt,
             std::u16string_view source, std::string& message) {
    if (!signer.peekIdentity || signer.digest == nullptr || !signer.signHash ||
        source.size() < kConcurrentFrom) {
      return;
    }
    edifact::SignerIdentity identity;
    std::string segment;
    if (signer.peekIdentity(identity) != +ControlCode::kOk ||
        edifact::identitySegment(identity, signer.keyType, segment) != edifact::kOk) {
      return;
    }
    header_ = edifact::headerGroup(signedAt, signer.keyType, segment);
    if (header_.empty()) return;
    // The hash reads the message where the conversion writes it, until it may move.
    hasher_.start(signer.digest, header_, message.data());
  }

  // outputMoves gives the guess up: the text is about to leave the place the hash reads.
  void outputMoves() { hasher_.abandon(); }

  // look passes on what the envelope's search has settled about the body.
  void look(const edifact::MessageScan& scan) {
    if (!hasher_.started()) return;
    const edifact::MessageScan::Progress now = scan.progress();
    if (now.envelope) {
      hasher_.abandon();
    } else if (now.plain) {
      hasher_.offer(now.bodyBegin,
                    now.bodyEnd != std::string_view::npos ? now.bodyEnd : now.settled);
    }
  }

  // converted takes the whole scan, and converts the guessed signed text back meanwhile.
  void converted(const edifact::MessageScan& scan, std::string_view text,
                 std::u16string_view source, std::size_t ascii) {
    look(scan);
    const edifact::MessageScan::Progress now = scan.progress();
    if (!hasher_.started() || !now.plain || now.bodyEnd == std::string_view::npos) {
      hasher_.abandon();
      return;
    }
    bodyBegin_ = now.bodyBegin;
    bodyEnd_ = now.bodyEnd;
    hasher_.offer(bodyBegin_, bodyEnd_);
    haveOutput_ = guessedOutput(text, source, ascii);
  }

  // Before the text is edited: the hash is finished, or given up.
  void beforeEditing() {
    if (hasher_.started()) haveDigest_ = hasher_.finish(bodyBegin_, bodyEnd_, digest_);
  }

  // placed checks the guess against where the header went and what it holds.
  void placed(const edifact::EnvelopePlacement& at, std::string_view text) {
    held_ = haveDigest_ && at.headerAt == bodyBegin_ && at.headerReplaced == 0 &&
            at.trailerAt == bodyEnd_ && text.substr(at.headerAt, at.headerLength) == header_;
  }
  bool held() const { return held_; }
  bool haveOutput() const { return held_ && haveOutput_; }
  std::span<const std::uint8_t> digest() const { return digest_; }

  // finish adds the converted rest of the signed text, from the trailer on.
  std::int32_t finish(std::string_view text, std::u16string& out) {
    return completeConversion(output_, text.substr(bodyEnd_ + header_.size()), out);
  }

 private:
  // guessedOutput converts the signed text up to the trailer, as it will be if the guess holds:
  // the text before the body, the header, the body; ASCII before the source's first other
  // character is copied from the source. false when the body doesn't end between characters.
  bool guessedOutput(std::string_view text, std::u16string_view source, std::size_t ascii) {
    try {
      output_.reserve(text.size() + edifact::kMaxEnvelopeGrowth);
      std::u16string part;
      const auto convert = [&](std::string_view piece) {
        if (piece.empty()) return true;
        if (!platform::fromCodePage950(piece, part)) return false;
        output_.append(part);
        return true;
      };
      const auto range = [&](std::size_t from, std::size_t to) {
        const std::size_t reusedTo = std::min(to, ascii);
        if (from < reusedTo) {
          output_.append(source.substr(from, reusedTo - from));
          from = reusedTo;
        }
        return convert(text.substr(from, to - from));
      };
      return range(0, bodyBegin_) && convert(header_) && range(bodyBegin_, bodyEnd_);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  std::string header_;
  BodyHasher hasher_;
  std::size_t bodyBegin_ = 0;
  std::size_t bodyEnd_ = 0;
  bool haveDigest_ = false;
  bool haveOutput_ = false;
  bool held_ = false;
  std::vector<std::uint8_t> digest_;
  std::u16string output_;
};

}  // namespace

std::optional<std::u16string> signedEnvelope(ControlState& state, std::u16string_view source,
                                             const EnvelopeSigner& signer) {
  platform::CivilTime now;
  const bool haveTime = platform::localTime(platform::currentTime(), now);
  const edifact::SigningTime signedAt{now.year, now.month,  now.day,
                                      now.hour, now.minute, now.second};
  // Room for the envelope is made once, so the message isn't moved again while signed.
  std::string message;
  message.reserve(source.size() + edifact::kMaxEnvelopeGrowth);
  SpeculativeSigning guess;
  if (haveTime) guess.begin(signer, signedAt, source, message);
  // The envelope's search runs over the text as the conversion writes it.
  std::size_t ascii = 0;
  edifact::MessageScan scan;
  if (textToCodePage950(
          source, message, &ascii,
          [&](std::string_view written) {
            scan.advance(written);
            guess.look(scan);
          },
          [&guess] { guess.outputMoves(); }) != +ControlCode::kOk) {
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
  if (!haveTime) return std::nullopt;
  guess.converted(scan, message, source, ascii);

  edifact::EnvelopeSigning how;
  how.keyType = signer.keyType;
  how.signedAt = signedAt;
  how.readIdentity = [&](edifact::SignerIdentity& identity) {
    guess.beforeEditing();
    return signer.readIdentity(identity);
  };
  PrefixConversion prefix;
  how.headerPlaced = [&](const edifact::EnvelopePlacement& placed, std::string_view text) {
    guess.placed(placed, text);
    const std::size_t bodyEnd = placed.trailerAt + placed.headerLength - placed.headerReplaced;
    if (guess.haveOutput() || bodyEnd < kConcurrentFrom) return;
    prefix.start(text, boundaryBefore(text, bodyEnd), source,
                 reusedSource(placed, ascii, text.size()));
  };
  // The text before the signature stays as it is until the signer returns, no longer.
  how.sign = [&](std::string_view data, std::string& hex) {
    const std::int32_t code =
        guess.held() ? signer.signHash(guess.digest(), hex) : signer.sign(data, hex);
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
  std::int32_t code = +ControlCode::kOk;
  if (guess.haveOutput()) {
    code = guess.finish(message, result);
  } else if (prefix.started()) {
    code = prefix.finish(message, result);
  } else {
    code =
        textFromCodePage950(message, source, reusedSource(placed, ascii, message.size()), result);
  }
  if (code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  state.lastErrorCode = +ControlCode::kOk;
  return result;
}

}  // namespace kestrune::control
