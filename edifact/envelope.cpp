#include "edifact/edifact.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <new>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrune::edifact {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// The security header group's fixed text, the signing time and the identity going between.
constexpr std::string_view kHeaderLead = "USH+94W+1+01+1+2+2+2+1++++1:";
constexpr std::string_view kHeaderClose = "USA+6:::10:1'";
constexpr std::string_view kTrailerLead = "UST+01'USR+";
constexpr std::size_t kSigningTimeLength = 15;

constexpr std::string_view kMessageHeader = "UNH+";
constexpr std::string_view kMessageTrailer = "UNT+";
constexpr std::string_view kSecurityHeader = "USH+";
constexpr std::string_view kSecurityAlgorithm = "USA+";
constexpr std::string_view kSecurityIdentity = "USC+";
constexpr std::string_view kSecurityTrailer = "UST+";

// A signature of at most 512 bytes: keys of up to 4096 bits.
constexpr std::size_t kMaxSignatureText = 1024;

// isReleased tells whether the character at position is released: an odd run of ? stands
// right before it. The run is not looked for before floor, the start of the segment.
bool isReleased(std::string_view text, std::size_t position, std::size_t floor) {
  std::size_t run = 0;
  while (position > floor + run && text[position - run - 1] == kReleaseCharacter) ++run;
  return run % 2 == 1;
}

// Bytes of a segment count looked at together.
#if defined(__SSE2__)
constexpr std::size_t kLane = 16;

// SegmentEnds looks at lanes of 16 bytes, each at least two bytes into the text: a ' that no ?
// precedes ends a segment and is counted; a lane holding a ' after ?? is unclear and left to the
// caller, as is, with `tags`, a lane holding a U three bytes before a + (the start of "USH+" or
// "UNT+"). The ends are counted a byte per position and summed every 255 lanes, before a byte
// could overflow.
class SegmentEnds {
 public:
  // take counts the lane at `at` and returns true, or returns false for an unclear lane.
  template <bool tags>
  bool take(const unsigned char* at) {
    const __m128i bytes = load(at);
    const __m128i end = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kSegmentTerminator));
    const __m128i afterOne = _mm_cmpeq_epi8(load(at - 1), _mm_set1_epi8(kReleaseCharacter));
    const __m128i afterTwo = _mm_cmpeq_epi8(load(at - 2), _mm_set1_epi8(kReleaseCharacter));
    __m128i unclear = _mm_and_si128(end, _mm_and_si128(afterOne, afterTwo));
    if constexpr (tags) {
      const __m128i u = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('U'));
      const __m128i plus = _mm_cmpeq_epi8(load(at + 3), _mm_set1_epi8(kElementSeparator));
      unclear = _mm_or_si128(unclear, _mm_and_si128(u, plus));
    }
    if (_mm_movemask_epi8(unclear) != 0) return false;
    // A match is 0xFF, -1: subtracting it adds one.
    counts_ = _mm_sub_epi8(counts_, _mm_andnot_si128(afterOne, end));
    if (++lanes_ == 255) flush();
    return true;
  }
  std::int64_t total() {
    flush();
    return total_;
  }

 private:
  static __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  void flush() {
    const __m128i sums = _mm_sad_epu8(counts_, _mm_setzero_si128());
    total_ += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    counts_ = _mm_setzero_si128();
    lanes_ = 0;
  }
  __m128i counts_ = _mm_setzero_si128();
  int lanes_ = 0;
  std::int64_t total_ = 0;
};
#else
// A fixed size, so that the compiler can vectorise the loop.
constexpr std::size_t kLane = 64;

// SegmentEnds, byte by byte where SSE2 is missing: the same lanes, counts and unclear lanes.
class SegmentEnds {
 public:
  template <bool tags>
  bool take(const unsigned char* at) {
    // The lane starts two bytes early, so that every byte is looked at with the two before it.
    const unsigned char* const lane = at - 2;
    unsigned char ends = 0;  // at most kLane
    unsigned char unclear = 0;
    for (std::size_t i = 0; i < kLane; ++i) {
      const unsigned char end = lane[i + 2] == kSegmentTerminator;
      const unsigned char afterOne = lane[i + 1] == kReleaseCharacter;
      const unsigned char afterTwo = lane[i] == kReleaseCharacter;
      ends += end & (afterOne ^ 1);
      unclear |= end & afterOne & afterTwo;
      if constexpr (tags) {
        unclear |= (lane[i + 2] == 'U') & (lane[i + 5] == kElementSeparator);
      }
    }
    if (unclear != 0) return false;
    total_ += ends;
    return true;
  }
  std::int64_t total() const { return total_; }

 private:
  std::int64_t total_ = 0;
};
#endif

// Where the envelope goes in a message, as positions in the unsigned text.
struct Layout {
  std::size_t messageStart = 0;  // "UNH+" of the message that takes the envelope
  std::size_t headerAt = 0;      // the security header group goes here
  std::size_t bodyBegin = 0;     // the segments kept between header and trailer
  std::size_t bodyEnd = 0;
  std::size_t unt = 0;         // "UNT+"
  std::int64_t bodyEnds = -1;  // the body's segment ends, when the search counted them
};

// What one pass over a bare message's body finds: the first "USH+" and the first "UNT+" from
// its start, and the segment ends before that UNT.
struct BodyScan {
  std::size_t ush = npos;
  std::size_t unt = npos;
  std::int64_t ends = 0;
};

// oneByOne looks at text[begin, end) of the body that starts at `from` byte by byte, as
// scanBody does, and returns true on its first "USH+" or "UNT+".
bool oneByOne(std::string_view text, std::size_t from, std::size_t begin, std::size_t end,
              BodyScan& scan) {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t at = begin; at < end; ++at) {
    if (text.compare(at, kSecurityHeader.size(), kSecurityHeader) == 0) {
      scan.ush = at;
      return true;
    }
    if (text.compare(at, kMessageTrailer.size(), kMessageTrailer) == 0) {
      scan.unt = at;
      return true;
    }
    if (bytes[at] == kSegmentTerminator && !isReleased(text, at, from)) ++scan.ends;
  }
  return false;
}

// bodyLanes looks at the lanes of the body that starts at `from`, from `at` on, while a lane
// and the three bytes after it lie before `limit`, and returns true on a tag, with `at` past
// the last lane looked at. Lanes that hold neither tag nor a ' after ?? are counted as
// countSegments counts; the others byte by byte. Each lane is judged by its own bytes, the two
// before it and the three after it alone, so the text may be looked at in pieces.
bool bodyLanes(std::string_view text, std::size_t from, std::size_t& at, std::size_t limit,
               BodyScan& scan) {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
  bool found = false;
  SegmentEnds lanes;
  // Both tags are U, then S H or N T, then +.
  for (; !found && at + kLane + 3 <= limit; at += kLane) {
    if (!lanes.take<true>(bytes + at)) found = oneByOne(text, from, at, at + kLane, scan);
  }
  scan.ends += lanes.total();
  return found;
}

// scanBody looks through text from `from`, the start of a message's body right after a
// segment terminator, up to the first "USH+" (the message has an envelope then, and the rest
// isn't looked at) or the first "UNT+", counting the segment ends on the way; past a UNT it
// only looks for a USH+.
BodyScan scanBody(std::string_view text, std::size_t from) {
  BodyScan scan;
  std::size_t at = std::min(text.size(), from + 2);
  bool found = oneByOne(text, from, from, at, scan);
  if (!found) found = bodyLanes(text, from, at, text.size(), scan);
  if (!found) oneByOne(text, from, at, text.size(), scan);
  if (scan.unt != npos) scan.ush = text.find(kSecurityHeader, scan.unt);
  return scan;
}

// findFrom searches the text written so far for tag from `from` on, and moves `from` to where
// the search goes on once more is written: a tag may start in the last three bytes.
std::size_t findFrom(std::string_view written, std::string_view tag, std::size_t& from) {
  const std::size_t found = written.find(tag, from);
  if (found == npos)
    from = std::max(from, written.size() - std::min(written.size(), tag.size() - 1));
  return found;
}

// A message with an envelope: the header group USH, USA, USC, USA and the trailer from UST
// up to UNT are replaced; the segments between them stay.
std::int32_t locateSignedMessage(std::string_view text, std::size_t ush, Layout& at) {
  const std::size_t firstUsa = text.find(kSecurityAlgorithm, ush);
  const std::size_t usc = text.find(kSecurityIdentity, firstUsa);
  const std::size_t lastUsa = text.find(kSecurityAlgorithm, usc);
  const std::size_t headerEnd = segmentEnd(text, lastUsa);
  const std::size_t ust = text.find(kSecurityTrailer, headerEnd);
  const std::size_t unt = text.find(kMessageTrailer, ust);
  // find from npos gives npos, so one missing segment shows in every later position.
  if (firstUsa == npos || usc == npos || lastUsa == npos || headerEnd == npos || ust == npos ||
      unt == npos) {
    return kEncodeFailed;
  }
  // The count starts at the UNH of the message that holds this header.
  const std::size_t unh = text.rfind(kMessageHeader, ush);
  if (unh == npos) return kEncodeFailed;
  at = {unh, ush, headerEnd + 1, ust, unt};
  return kOk;
}

}  // namespace

// ScanReader hands a finished scan's findings to the search.
struct ScanReader {
  static void read(const MessageScan& scan, std::size_t& unh, std::size_t& unhEnd,
                   std::size_t& ushBefore, std::size_t& ush, std::size_t& unt, std::int64_t& ends) {
    unh = scan.unh_;
    unhEnd = scan.unhEnd_;
    ushBefore = scan.ushBefore_;
    ush = scan.ush_;
    unt = scan.unt_;
    ends = scan.ends_;
  }
  static bool finishedOn(const MessageScan& scan, std::string_view text) {
    return scan.finishedSize_ == text.size();
  }
};

namespace {

// locate finds where the envelope goes: a message without an envelope gets the header after
// the UNH segment and the trailer before the first UNT after it; a message with one (a USH
// anywhere in the text) has it replaced. A scan that looked at this text as it was written
// gives what the searches here would find.
std::int32_t locate(std::string_view text, Layout& at, const MessageScan* scanned) {
  std::size_t unh = npos;
  std::size_t unhEnd = npos;
  std::size_t ushBefore = npos;
  BodyScan scan;
  if (scanned != nullptr) {
    ScanReader::read(*scanned, unh, unhEnd, ushBefore, scan.ush, scan.unt, scan.ends);
  } else {
    unh = text.find(kMessageHeader);
    unhEnd = unh == npos ? npos : segmentEnd(text, unh);
    // No USH can span the UNH segment's terminator: it lies wholly before it or after it.
    if (unhEnd != npos) ushBefore = text.substr(0, unhEnd).find(kSecurityHeader);
    if (unhEnd != npos && ushBefore == npos) scan = scanBody(text, unhEnd + 1);
  }
  if (unhEnd == npos) {
    const std::size_t ush = text.find(kSecurityHeader);
    return ush == npos ? kEncodeFailed : locateSignedMessage(text, ush, at);
  }
  if (ushBefore != npos) return locateSignedMessage(text, ushBefore, at);
  if (scan.ush != npos) return locateSignedMessage(text, scan.ush, at);
  if (scan.unt == npos) return kEncodeFailed;
  at = {unh, unhEnd + 1, unhEnd + 1, scan.unt, scan.unt, scan.ends};
  return kOk;
}

// plausible: at least 5 characters and each of the three separators.
bool plausible(std::string_view text) {
  return text.size() >= 5 && text.find(kElementSeparator) != npos &&
         text.find(kComponentSeparator) != npos && text.find(kSegmentTerminator) != npos;
}

bool isUpperHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// appendReleased appends value with every syntax character released.
void appendReleased(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (c == kSegmentTerminator || c == kElementSeparator || c == kComponentSeparator ||
        c == kReleaseCharacter) {
      out += kReleaseCharacter;
    }
    out += c;
  }
}

// componentCut returns where the first component of a long identifier ends: at most
// kIdentityComponent bytes, and never between the two bytes of a Big5 character.
std::size_t componentCut(std::string_view value) {
  std::size_t at = 0;
  while (at < value.size()) {
    const auto lead = static_cast<unsigned char>(value[at]);
    const std::size_t width = lead >= 0x81 && lead <= 0xFE && at + 1 < value.size() ? 2 : 1;
    if (at + width > kIdentityComponent) break;
    at += width;
  }
  return at;
}

}  // namespace

std::size_t segmentEnd(std::string_view text, std::size_t segmentStart) {
  for (std::size_t at = segmentStart; at < text.size(); ++at) {
    at = text.find(kSegmentTerminator, at);
    if (at == npos) return npos;
    if (!isReleased(text, at, segmentStart)) return at;
  }
  return npos;
}

std::int64_t countSegments(std::string_view text, std::size_t from, std::size_t to) {
  // A lane at a time, each byte seen with the two before it: a ' that no ? precedes ends a
  // segment, and one after a single ? doesn't. One after ?? needs the whole run of ? looked
  // at, which only the rare lanes holding such a ' get. The first two bytes have no two
  // before them in the range, so they are looked at one by one too.
  std::int64_t count = 1;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
  const auto countOneByOne = [&](std::size_t begin, std::size_t end) {
    for (std::size_t at = begin; at < end; ++at) {
      if (bytes[at] == kSegmentTerminator && !isReleased(text, at, from)) ++count;
    }
  };
  std::size_t at = std::min(to, from + 2);
  countOneByOne(from, at);
  SegmentEnds lanes;
  for (; at + kLane <= to; at += kLane) {
    if (!lanes.take<false>(bytes + at)) countOneByOne(at, at + kLane);
  }
  countOneByOne(at, to);
  count += lanes.total();
  return count;
}

void MessageScan::advance(std::string_view written) {
  look(written, false);
}

void MessageScan::finish(std::string_view text) {
  look(text, true);
  finishedSize_ = text.size();
}

void MessageScan::look(std::string_view text, bool whole) {
  // Each step goes as far as the text allows; the next one starts where it stopped, so a step
  // that ends early waits for more text, and with the whole text every step runs to its end.
  if (phase_ == Phase::messageHeader) {
    unh_ = findFrom(text, kMessageHeader, from_);
    if (unh_ == npos) {
      if (whole) phase_ = Phase::done;
      return;
    }
    from_ = unh_;
    phase_ = Phase::headerEnd;
  }
  if (phase_ == Phase::headerEnd) {
    // segmentEnd, a terminator at a time: whether one is released depends on the text before it.
    for (;; ++from_) {
      from_ = text.find(kSegmentTerminator, from_);
      if (from_ == npos) {
        from_ = text.size();
        if (whole) phase_ = Phase::done;
        return;
      }
      if (!isReleased(text, from_, unh_)) break;
    }
    unhEnd_ = from_;
    ushBefore_ = text.substr(0, unhEnd_).find(kSecurityHeader);
    if (ushBefore_ != npos) {
      phase_ = Phase::done;
      return;
    }
    phase_ = Phase::bodyStart;
  }
  BodyScan scan{ush_, unt_, ends_};
  const std::size_t body = unhEnd_ + 1;
  bool found = false;
  if (phase_ == Phase::bodyStart) {
    // The first two bytes have a tag's four looked for from each of them.
    if (!whole && text.size() < body + 2 + kMessageTrailer.size() + 1) return;
    from_ = std::min(text.size(), body + 2);
    found = oneByOne(text, body, body, from_, scan);
    phase_ = Phase::body;
  }
  if (phase_ == Phase::body) {
    if (!found) found = bodyLanes(text, body, from_, text.size(), scan);
    if (!found && whole) oneByOne(text, body, from_, text.size(), scan);
    if (found || whole) phase_ = scan.unt != npos ? Phase::afterTrailer : Phase::done;
    if (scan.unt != npos) from_ = scan.unt;
  }
  if (phase_ == Phase::afterTrailer) {
    scan.ush = findFrom(text, kSecurityHeader, from_);
    if (scan.ush != npos || whole) phase_ = Phase::done;
  }
  ush_ = scan.ush;
  unt_ = scan.unt;
  ends_ = scan.ends;
}

std::string signingTimeText(const SigningTime& local) {
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%04d%02d%02d:%02d%02d%02d", local.year,
                                   local.month, local.day, local.hour, local.minute, local.second);
  if (length != static_cast<int>(kSigningTimeLength)) return {};
  return std::string(text, kSigningTimeLength);
}

std::string_view algorithmSegment(std::int32_t keyType) {
  return keyType == kSha1KeyType ? kSha1Algorithm : kMd5Algorithm;
}

std::string headerGroup(const SigningTime& signedAt, std::int32_t keyType,
                        std::string_view identity) {
  const std::string time = signingTimeText(signedAt);
  if (time.empty()) return {};
  std::string header;
  header.reserve(kHeaderLead.size() + kSigningTimeLength + identity.size() + 32);
  header.append(kHeaderLead).append(time).append(1, kSegmentTerminator);
  header.append(algorithmSegment(keyType)).append(1, kSegmentTerminator);
  header.append(identity).append(1, kSegmentTerminator);
  header.append(kHeaderClose);
  return header;
}

MessageScan::Progress MessageScan::progress() const {
  Progress now;
  if (ushBefore_ != npos || ush_ != npos) {
    now.envelope = true;
    return now;
  }
  if (phase_ == Phase::messageHeader || phase_ == Phase::headerEnd || unhEnd_ == npos) return now;
  now.plain = true;
  now.bodyBegin = unhEnd_ + 1;
  if (unt_ != npos) {
    now.bodyEnd = unt_;
    now.settled = unt_;
  } else if (phase_ == Phase::body) {
    now.settled = std::max(from_, now.bodyBegin);
  } else {
    now.settled = now.bodyBegin;
  }
  return now;
}

std::int32_t identitySegment(const SignerIdentity& identity, std::int32_t keyType,
                             std::string& segment) {
  try {
    segment.assign(kSecurityIdentity);
    appendReleased(segment, identity.csn);
    segment += "+3:::::";
    if (keyType != kSha1KeyType) {
      appendReleased(segment, identity.sid1);
      segment += kComponentSeparator;
      appendReleased(segment, identity.sid2);
    } else {
      const std::string_view sid2 = identity.sid2;
      if (sid2.size() <= kIdentityComponent) {
        appendReleased(segment, sid2);
        segment += kComponentSeparator;
      } else {
        const std::size_t cut = componentCut(sid2);
        if (sid2.size() - cut > kMaxIdentityOverflow) return kEncodeFailed;
        appendReleased(segment, sid2.substr(0, cut));
        segment += kComponentSeparator;
        appendReleased(segment, sid2.substr(cut));
      }
      segment += kComponentSeparator;
      appendReleased(segment, identity.sid1);
    }
    return segment.size() <= kMaxIdentitySegment ? kOk : kEncodeFailed;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

std::int32_t signEdifactMessage(std::string& message, const EnvelopeSigning& how,
                                EnvelopePlacement* placement, const MessageScan* scanned) noexcept {
  try {
    std::string& text = message;
    if (!plausible(text)) return kEncodeFailed;
    // A scan that didn't finish on this very text isn't used.
    if (scanned != nullptr && !ScanReader::finishedOn(*scanned, text)) scanned = nullptr;
    Layout at;
    if (const std::int32_t located = locate(text, at, scanned); located != kOk) return located;
    // UNT keeps everything from its second element on; the count replaces the first. Both
    // separators must lie inside the UNT segment, so nothing after it is overwritten.
    const std::string_view unt = std::string_view(text).substr(at.unt);
    const std::size_t untEnd = segmentEnd(unt, 0);
    const std::size_t reference = unt.find(kElementSeparator, kMessageTrailer.size());
    if (reference == npos || (untEnd != npos && reference > untEnd)) return kEncodeFailed;

    if (signingTimeText(how.signedAt).empty()) return kNotCompleted;

    SignerIdentity identity;
    if (const std::int32_t code = how.readIdentity(identity); code != kOk) return code;
    std::string identityText;
    if (const std::int32_t code = identitySegment(identity, how.keyType, identityText);
        code != kOk) {
      return code;
    }

    // The text is edited in place: the header group replaces the old one (or goes after
    // UNH), then everything from the end of the body up to UNT's count becomes the trailer
    // and the new count. Room for both is reserved first, so the body moves at most once
    // (and not at all when the caller left kMaxEnvelopeGrowth to spare).
    const std::string header = headerGroup(how.signedAt, how.keyType, identityText);
    static_assert(kMaxEnvelopeGrowth >= kHeaderLead.size() + kSigningTimeLength +
                                            kMaxIdentitySegment + 64 + kTrailerLead.size() +
                                            kMaxSignatureText + 64);
    text.reserve(text.size() + kMaxEnvelopeGrowth);
    const std::size_t replaced = at.bodyBegin - at.headerAt;
    text.replace(at.headerAt, replaced, header);
    const std::size_t bodyEnd = at.bodyEnd - replaced + header.size();
    const std::size_t countEnd = at.unt + reference - replaced + header.size();

    if (how.headerPlaced)
      how.headerPlaced({at.headerAt, replaced, header.size(), at.bodyEnd, 0, 0}, text);
    std::string signature;
    if (const std::int32_t code =
            how.sign(std::string_view(text).substr(at.headerAt, bodyEnd - at.headerAt), signature);
        code != kOk) {
      return code;
    }
    if (signature.empty() || signature.size() > kMaxSignatureText || !isUpperHex(signature)) {
      return kNoSignature;
    }

    // The trailer adds its two segments, UST and USR, to those up to the end of the body.
    // When the body's ends were counted while it was searched, only the text before it is
    // counted now: the header and the body each follow a terminator, so a run of ? never
    // reaches across their starts.
    const std::int64_t count =
        at.bodyEnds < 0
            ? countSegments(text, at.messageStart, bodyEnd) + 2
            : countSegments(text, at.messageStart, at.headerAt + header.size()) + at.bodyEnds + 2;
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, count);
    std::string trailer;
    trailer.reserve(kTrailerLead.size() + signature.size() + kMessageTrailer.size() + 24);
    trailer.append(kTrailerLead).append(signature).append(1, kSegmentTerminator);
    trailer.append(kMessageTrailer).append(digits, written.ptr);
    text.replace(bodyEnd, countEnd - bodyEnd, trailer);
    if (placement != nullptr) {
      *placement = {at.headerAt, replaced,           header.size(),
                    at.bodyEnd,  countEnd - bodyEnd, trailer.size()};
    }
    return kOk;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (const std::length_error&) {
    return kNoMemory;
  }
}

std::int32_t signEdifactMessage(std::string_view message, const EnvelopeSigning& how,
                                std::string& signedMessage) noexcept {
  try {
    signedMessage.assign(message);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (const std::length_error&) {
    return kNoMemory;
  }
  return signEdifactMessage(signedMessage, how);
}

}  // namespace kestrune::edifact
