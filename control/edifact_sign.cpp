// FEDIMessageSign: the token's side of the EDIFACT security envelope. The envelope itself is
// built by control/edifact_envelope; this method supplies the token type, the signing time,
// the signer's identity and the token signature.
#include <cstring>
#include <span>

#include "control/control_internal.h"
#include "control/edifact_envelope.h"
#include "control/identity_internal.h"

namespace kestrune {
namespace {

// Messages are mostly plain ASCII, which code page 950 carries unchanged in both directions.
// Such a message skips the general conversion, which costs several times the message's hash;
// any other text goes through toAnsi / toBstr. The loops work in blocks of fixed size so the
// compiler can vectorise them.
constexpr std::size_t kBlock = 64;

// narrowAscii appends text to out as long as it is ASCII without a zero character and returns
// how many characters it took.
std::size_t narrowAscii(std::u16string_view text, std::string& out) {
  std::size_t at = 0;
  for (; at + kBlock <= text.size(); at += kBlock) {
    const char16_t* block = text.data() + at;
    char16_t any = 0;
    char16_t least = 0xFFFF;
    for (std::size_t i = 0; i < kBlock; ++i) {
      any |= block[i];
      least = block[i] < least ? block[i] : least;
    }
    if (any >= 0x80 || least == 0) break;
    char narrow[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i) narrow[i] = static_cast<char>(block[i]);
    out.append(narrow, kBlock);
  }
  for (; at < text.size() && text[at] != 0 && text[at] < 0x80; ++at) {
    out += static_cast<char>(text[at]);
  }
  return at;
}

// widenAscii appends text to out as long as it is ASCII and returns how many characters it
// took.
std::size_t widenAscii(std::string_view text, std::u16string& out) {
  std::size_t at = 0;
  for (; at + kBlock <= text.size(); at += kBlock) {
    // A local copy, so that the compiler sees the two arrays can't overlap.
    unsigned char block[kBlock];
    std::memcpy(block, text.data() + at, kBlock);
    unsigned char any = 0;
    for (std::size_t i = 0; i < kBlock; ++i) any |= block[i];
    if (any >= 0x80) break;
    char16_t wide[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i) wide[i] = block[i];
    out.append(wide, kBlock);
  }
  for (; at < text.size() && static_cast<unsigned char>(text[at]) < 0x80; ++at) {
    out += static_cast<char16_t>(static_cast<unsigned char>(text[at]));
  }
  return at;
}

// asciiText returns the text (up to its first zero character, as toAnsi takes it) when it is
// all ASCII; nullopt otherwise.
std::optional<std::string> asciiText(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size() + edifact::kMaxEnvelopeGrowth);
  const std::size_t taken = narrowAscii(text, narrow);
  if (taken < text.size() && text[taken] != 0) return std::nullopt;
  return narrow;
}

// asciiWide returns the text widened when it is all ASCII; nullopt otherwise.
std::optional<std::u16string> asciiWide(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  if (widenAscii(text, wide) < text.size()) return std::nullopt;
  return wide;
}

}  // namespace

std::optional<std::u16string> TVFEDIMiniKeyCrypt::FEDIMessageSign(std::u16string_view SourceData) {
  return control::inFrame(*this, [&]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = kNotCompleted;
    if (pinVerified() == 0) {
      lastErrorCode = kPinNotVerified;
      return std::nullopt;
    }
    auto message = asciiText(SourceData);
    if (!message) message = control::toAnsi(*this, SourceData);
    if (!message) {
      lastErrorCode = kBadText;
      return std::nullopt;
    }

    edifact::EnvelopeSigning how;
    how.keyType = type;
    if (!platform::localTime(platform::currentTime(), how.signedAt)) return std::nullopt;
    // The identifiers are read as getCSN, getSID1 and getSID2 read them; which one failed,
    // and why, isn't reported: any of them missing is 12.
    how.readIdentity = [&](edifact::SignerIdentity& identity) -> std::int32_t {
      const bool haveCsn = control::readCsn(*this, type, identity.csn) == kOk;
      control::readSid(*this, 1, type);
      control::readSid(*this, 2, type);
      if (!haveCsn || !sid1Cache || !sid2Cache) return kReadFailed;
      identity.sid1 = *sid1Cache;
      identity.sid2 = *sid2Cache;
      return kOk;
    };
    how.sign = [&](std::string_view data, std::string& hex) -> std::int32_t {
      const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                data.size());
      auto signature = control::signDigest(*this, bytes, true, type);
      if (!signature) return lastErrorCode;
      hex = std::move(*signature);
      return kOk;
    };

    if (const std::int32_t code = edifact::signEdifactMessage(*message, how); code != kOk) {
      lastErrorCode = code;
      return std::nullopt;
    }
    auto result = asciiWide(*message);
    if (!result) result = control::toBstr(*this, *message);
    if (!result) return std::nullopt;
    lastErrorCode = kOk;
    return result;
  });
}

}  // namespace kestrune
