// The EDIFACT security envelope of a signed FEDI message: building it around a message and
// verifying it, as plain functions over the message text (single-byte code page 950). The
// signature itself comes from the caller (a token, a CSP), through EnvelopeSigning.
//
// A signed message reads:
//   ...UNH segment'
//   USH+94W+1+01+1+2+2+2+1++++1:YYYYMMDD:HHMMSS'   security header, with the signing time
//   USA+1:::6:1'                                    hash of the signature: 6 MD5, 8 SHA-1
//   USC+csn+3:::::...'                              the signer's identity
//   USA+6:::10:1'
//   ...the message body...
//   UST+01'
//   USR+<signature in upper-case hexadecimal>'
//   UNT+<segment count>+<message reference>'...
// The signature covers the text from "USH+" up to, not including, "UST+". A message that
// carries an envelope already has it replaced, so signing again gives the same shape.
//
// Syntax characters are fixed: ' ends a segment, + separates data elements, : components, and
// ? releases the character after it. A UNA service string advice isn't read. The functions
// search the text with plain string searches; they don't parse EDIFACT beyond that.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "FEDIX509/fedi_x509.h"
#include "common/ptr.h"

namespace kestrune::edifact {

// Result codes, numbered as the control reports them, so that a code passes through the
// control's methods unchanged. The reader's and the signer's own codes pass through as well.
inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kNotCompleted = 1;  // the signing time can't be written
inline constexpr std::int32_t kNoMemory = 2;
inline constexpr std::int32_t kEncodeFailed = 500;  // the message or identity doesn't fit
inline constexpr std::int32_t kNoSignature = 1003;  // the signer gave no hexadecimal text

inline constexpr char kSegmentTerminator = '\'';
inline constexpr char kElementSeparator = '+';
inline constexpr char kComponentSeparator = ':';
inline constexpr char kReleaseCharacter = '?';

// Token type whose messages are hashed with SHA-1 (a ZRML token); every other type uses MD5.
inline constexpr std::int32_t kSha1KeyType = 3;

// The USA segment of the hash, without its terminator, as the first USA of a header has it.
inline constexpr std::string_view kMd5Algorithm = "USA+1:::6:1";
inline constexpr std::string_view kSha1Algorithm = "USA+1:::8:1";

// Identity limits: a USC segment holds at most 1,023 characters; the organisation identifier
// of a ZRML token fills a 35-character component and up to 127 more in the next one.
inline constexpr std::size_t kMaxIdentitySegment = 1023;
inline constexpr std::size_t kIdentityComponent = 35;
inline constexpr std::size_t kMaxIdentityOverflow = 127;

// The most an envelope adds to a message: a header group with the longest identity and a
// trailer with a signature of 512 bytes. A buffer with this much room to spare is signed
// without being moved.
inline constexpr std::size_t kMaxEnvelopeGrowth = 4096;

// The local civil time written into the security header.
struct SigningTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct SignerIdentity {
  std::string csn;   // card serial number: the serial number of the signer's certificate
  std::string sid1;  // the user's identifier
  std::string sid2;  // the organisation's identifier
};

// segmentEnd returns the position of the terminator that ends the segment starting at
// segmentStart: the first ' at or after it that the release character doesn't release; npos
// when there is none.
std::size_t segmentEnd(std::string_view text, std::size_t segmentStart);

// countSegments returns 1 plus the number of segment terminators in text[from, to), a released
// ' not counted: the UNT count of a message whose "UNH+" is at from and "UNT+" at to. from
// must be the start of a segment.
std::int64_t countSegments(std::string_view text, std::size_t from, std::size_t to);

// signingTimeText returns the local time as the header writes it, "%04d%02d%02d:%02d%02d%02d"
// (20050331:155648), or an empty text for a time that doesn't fit those 15 characters.
std::string signingTimeText(const SigningTime& local);

// algorithmSegment returns kSha1Algorithm for a ZRML token, kMd5Algorithm for any other type.
std::string_view algorithmSegment(std::int32_t keyType);

// headerGroup returns the security header group that signEdifactMessage puts into a message,
// with its four terminators: USH with the signing time, the hash's USA, the identity segment
// (as identitySegment gives it) and the closing USA; empty for a time that doesn't fit.
std::string headerGroup(const SigningTime& signedAt, std::int32_t keyType,
                        std::string_view identity);

// identitySegment returns 0 and the USC segment (without terminator) naming the signer:
//   "USC+csn+3:::::sid1:sid2" for every type but ZRML;
//   "USC+csn+3:::::sid2::sid1" for ZRML, or, when sid2 is longer than 35 characters,
//   "USC+csn+3:::::<first 35 of sid2>:<rest of sid2>:sid1".
// Syntax characters inside the values are released with ?, so an identifier can't end the
// segment early; a 35-character cut never splits a Big5 double-byte character. 500 when the
// rest of sid2 exceeds 127 characters or the segment 1,023; 2 when memory runs out.
std::int32_t identitySegment(const SignerIdentity& identity, std::int32_t keyType,
                             std::string& segment);

// IdentityReader fills the signer's identity and returns 0, or the code to fail with.
using IdentityReader = std::function<std::int32_t(SignerIdentity& identity)>;
// DigestSigner signs the bytes and returns 0 with the signature as upper-case hexadecimal
// text, or the code to fail with.
using DigestSigner = std::function<std::int32_t(std::string_view data, std::string& hex)>;

// Where signEdifactMessage put the envelope, as positions in the unsigned text: the signed text
// is the unsigned one with [headerAt, headerAt + headerReplaced) replaced by the header group
// (headerLength bytes, ending in its terminator) and, after it, [trailerAt, trailerAt +
// trailerReplaced) replaced by the trailer up to UNT's count (trailerLength bytes, ending in
// the count's last digit). The rest of the text is kept byte for byte.
struct EnvelopePlacement {
  std::size_t headerAt = 0;
  std::size_t headerReplaced = 0;
  std::size_t headerLength = 0;
  std::size_t trailerAt = 0;
  std::size_t trailerReplaced = 0;
  std::size_t trailerLength = 0;
};

// HeaderPlaced sees the text once its header group is in place, just before the signer is
// asked: the placement's header fields and trailerAt are final, the trailer's lengths are 0.
// The text before the body's end no longer changes; the caller may read it (from another
// thread too) until the signer returns.
using HeaderPlaced = std::function<void(const EnvelopePlacement& placed, std::string_view text)>;

struct EnvelopeSigning {
  std::int32_t keyType = -1;    // the signing token's type: ZRML (3) or any other
  SigningTime signedAt;         // local time written into the USH segment
  IdentityReader readIdentity;  // asked once the message has an envelope's place
  HeaderPlaced headerPlaced;    // optional
  DigestSigner sign;            // asked once, with the header group and the body
};

// MessageScan looks at a message's text while it is being written, for what signEdifactMessage
// searches the text for: the message header, the envelope already there, and the body's
// segment ends up to UNT. Each byte is looked at once, while it is likely still in the cache.
// advance takes the text written so far, each time the text before it with more appended;
// finish takes the whole text. Given to signEdifactMessage with that text, the scan gives what
// its own search would give, for every text.
class MessageScan {
 public:
  void advance(std::string_view written);
  void finish(std::string_view text);

  // What the scan has settled so far about a message without an envelope, which gets its
  // header group after UNH: its body starts at bodyBegin, and the body's bytes before settled
  // begin no "USH+" or "UNT+"; bodyEnd is the body's first "UNT+" once found. A message with a
  // "USH+" anywhere has an envelope: envelope turns true when one is seen (a USH+ past the end
  // of the text scanned so far may still turn up).
  struct Progress {
    bool plain = false;  // the body's start is known, and no USH+ before it
    bool envelope = false;
    std::size_t bodyBegin = std::string_view::npos;
    std::size_t settled = 0;
    std::size_t bodyEnd = std::string_view::npos;
  };
  Progress progress() const;

 private:
  friend struct ScanReader;
  void look(std::string_view text, bool whole);
  static constexpr std::size_t npos = std::string_view::npos;
  // The steps of the search, in order: the "UNH+", its segment's end (and a "USH+" before
  // it), the body up to its first "USH+" or "UNT+", a "USH+" after that UNT.
  enum class Phase { messageHeader, headerEnd, bodyStart, body, afterTrailer, done };
  Phase phase_ = Phase::messageHeader;
  std::size_t from_ = 0;  // where the current step goes on
  std::size_t unh_ = npos;
  std::size_t unhEnd_ = npos;
  std::size_t ushBefore_ = npos;
  std::size_t ush_ = npos;
  std::size_t unt_ = npos;
  std::int64_t ends_ = 0;  // the body's segment ends before its UNT
  std::size_t finishedSize_ = npos;
};

// signEdifactMessage signs message in place: it returns 0 with message signed, or a code
// with message's contents unspecified:
//   500 when the text is shorter than 5 characters, lacks a +, : or ', or misses a segment
//       the envelope needs (UNH and UNT around the body, or an existing header's USH, USA,
//       USC, USA and its UST after the body, and a UNT with a message reference after it);
//   the reader's code when the identity can't be read, and 500 when it doesn't fit USC;
//   the signer's code when it doesn't sign; 1003 when it gives no hexadecimal text;
//   1 when the signing time can't be written; 2 when memory runs out.
// The identity is read and the signer asked only after the message's layout has been found
// good. The time taken is linear in the message's length; the body is moved at most once.
// When placement is given, it receives where the envelope went. A scan finished on this text
// saves the search; one finished on a text of another length is not used.
std::int32_t signEdifactMessage(std::string& message, const EnvelopeSigning& how,
                                EnvelopePlacement* placement = nullptr,
                                const MessageScan* scanned = nullptr) noexcept;
// This one signs a copy of message into signedMessage.
std::int32_t signEdifactMessage(std::string_view message, const EnvelopeSigning& how,
                                std::string& signedMessage) noexcept;

// Verification of a signed EDIFACT message: the receiving side of signEdifactMessage.
//
// It finds the security header group after UNH and the signature in the USR segment after
// UST, recomputes the digest over the signed range (from "USH+" up to, not including, "UST+")
// with the hash that the first USA segment names (1:::6:1 MD5, 1:::8:1 SHA-1), checks the
// RSA PKCS #1 v1.5 signature with the signer's public key, and checks the UNT segment count.
// The message is the code-page-950 text exactly as it was signed.
enum class VerifyStatus {
  ok,
  noMessageHeader,     // no UNH segment
  noSecurityHeader,    // no USH segment after UNH, or its header group is incomplete
  unknownAlgorithm,    // the first USA names neither MD5 (1:::6:1) nor SHA-1 (1:::8:1)
  noSecurityTrailer,   // no UST segment after the header group
  noSignature,         // no USR segment after UST, or one without a signature
  malformedSignature,  // the USR value isn't hexadecimal, or not as long as the key's modulus
  noSignerKey,         // no certificate in the bag, or no RSA key in the certificate
  badSignature,        // the signature does not match the signed range and the key
  noMessageTrailer,    // no UNT segment after USR
  malformedCount,      // UNT's first element isn't a decimal number
  wrongCount,          // UNT's count differs from the message's segments
  failed,              // memory or the cryptographic library failed
};

struct VerifyReport {
  VerifyStatus status = VerifyStatus::failed;
  std::string message;  // what was found, or why it failed, in one line
  // Filled as far as the check got:
  std::string algorithm;        // "MD5" or "SHA-1"
  std::size_t signedBytes = 0;  // length of the signed range
  std::string signer;           // the USC segment's first element (the signer's CSN)
  std::int64_t segments = 0;    // segments counted from UNH to UNT
};

// verifyEdifactMessage checks message against the key of the bag's first certificate, of the
// certificate, or the key itself, fills report and returns report.status: ok only when the
// signature verifies and the UNT count is right. A message with several problems reports the
// first one found in this order: structure, signature, count. The arguments are not changed
// in any way a caller can see; the key is not consumed.
VerifyStatus verifyEdifactMessage(std::string_view message, EVP_PKEY* signerKey,
                                  VerifyReport& report) noexcept;

// signerKeyMissing fills report for an argument that yields no usable key and returns
// noSignerKey.
VerifyStatus signerKeyMissing(VerifyReport& report, const char* why) noexcept;

// The same for a FEDI certificate, and for the first certificate of a bag.
VerifyStatus verifyEdifactMessage(std::string_view message, FEDI_X509* signer,
                                  VerifyReport& report) noexcept;
VerifyStatus verifyEdifactMessage(std::string_view message, FEDICERT* signer,
                                  VerifyReport& report) noexcept;

}  // namespace kestrune::edifact
