// The security envelope as plain text work: a recording signer and a fixed identity stand in
// for the token, so every form and failure can be shown byte for byte.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "edifact/edifact.h"

namespace kestrune::edifact {
namespace {

constexpr std::string_view kInvoice = "UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";
constexpr std::string_view kHex = "0123456789ABCDEF";
// Codes of the token's side, passed through unchanged.
constexpr std::int32_t kReadFailed = 12;
constexpr std::int32_t kSigningKeyMissing = 10010;

// Parties records what the envelope asked of the token's side.
struct Parties {
  SignerIdentity identity{"1234567890", "U001", "ORG01"};
  std::int32_t identityCode = kOk;
  std::string signature{kHex};
  std::int32_t signCode = kOk;
  int identityReads = 0;
  std::vector<std::string> signedData;

  EnvelopeSigning signing(std::int32_t keyType = 0, SigningTime at = {2024, 1, 2, 3, 4, 5}) {
    EnvelopeSigning how;
    how.keyType = keyType;
    how.signedAt = at;
    how.readIdentity = [this](SignerIdentity& out) {
      ++identityReads;
      out = identity;
      return identityCode;
    };
    how.sign = [this](std::string_view data, std::string& hex) {
      signedData.emplace_back(data);
      hex = signature;
      return signCode;
    };
    return how;
  }
};

std::string signedOrFail(std::string_view message, const EnvelopeSigning& how) {
  std::string out;
  EXPECT_EQ(kOk, signEdifactMessage(message, how, out)) << message;
  return out;
}

std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(EdifactEnvelope, WorkedInvoiceComesOutExactly) {
  Parties parties;
  const std::string out = signedOrFail(kInvoice, parties.signing());
  EXPECT_EQ(
      "UNH+1+INVOIC:D:96A:UN'"
      "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::6:1'"
      "USC+1234567890+3:::::U001:ORG01'USA+6:::10:1'"
      "BGM+380+1'UST+01'USR+0123456789ABCDEF'UNT+9+1'",
      out);
  ASSERT_EQ(1u, parties.signedData.size());
  EXPECT_EQ(
      "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::6:1'"
      "USC+1234567890+3:::::U001:ORG01'USA+6:::10:1'BGM+380+1'",
      parties.signedData[0]);
  EXPECT_EQ(1, parties.identityReads);
}

TEST(EdifactEnvelope, SigningAgainReplacesTheEnvelope) {
  Parties first;
  const std::string once = signedOrFail(kInvoice, first.signing());
  Parties second;
  second.identity = {"77", "U002", "ORG02"};
  second.signature = "FEDCBA";
  const auto later = second.signing(0, {2025, 12, 31, 23, 59, 58});
  const std::string twice = signedOrFail(once, later);
  // Re-signing gives what signing the bare message with the new parties gives.
  EXPECT_EQ(signedOrFail(kInvoice, later), twice);
  EXPECT_EQ(1u, occurrences(twice, "USH+"));
  EXPECT_EQ(1u, occurrences(twice, "UST+"));
  EXPECT_EQ(1u, occurrences(twice, "USR+"));
  EXPECT_NE(std::string::npos, twice.find("'UNT+9+1'"));

  // Segments between an existing header group and trailer stay; anything between UST and
  // UNT goes with the old trailer.
  const std::string withBody =
      "UNH+7+X:Y'USH+old'USA+old'USC+old'USA+old'BGM+1'DTM+2'UST+01'USR+AB'UNT+2+7'UNZ+1'";
  const std::string resigned = signedOrFail(withBody, later);
  EXPECT_EQ(
      "UNH+7+X:Y'USH+94W+1+01+1+2+2+2+1++++1:20251231:235958'USA+1:::6:1'"
      "USC+77+3:::::U002:ORG02'USA+6:::10:1'BGM+1'DTM+2'UST+01'USR+FEDCBA'UNT+10+7'UNZ+1'",
      resigned);
}

TEST(EdifactEnvelope, ReleasedApostrophesAreNoSegmentEnds) {
  struct Case {
    const char* message;
    const char* unt;  // the UNT segment as signed
  };
  const Case cases[] = {
      // A released ' in the body is text.
      {"UNH+1+A:B'FTX+AAI+++O?'Brien'UNT+3+1'", "UNT+9+1'"},
      // ?? is a released ?, so the ' after it ends the segment.
      {"UNH+1+A:B'FTX+AAI+++Q?\?'BGM+1'UNT+4+1'", "UNT+10+1'"},
      {"UNH+1+A:B'FTX+AAI+++Q??\?'X'UNT+3+1'", "UNT+9+1'"},
      // The UNH segment ends at its first unreleased ', so the header goes after it.
      {"UNH+1+A?'B:C'BGM+1'UNT+3+1'", "UNT+9+1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Parties parties;
    const std::string out = signedOrFail(c.message, parties.signing());
    EXPECT_NE(std::string::npos, out.find(c.unt)) << out;
    EXPECT_EQ(out.size() - std::string_view(c.unt).size(), out.find(c.unt));
  }
  Parties parties;
  const std::string out = signedOrFail("UNH+1+A?'B:C'BGM+1'UNT+3+1'", parties.signing());
  EXPECT_EQ(0u, out.find("UNH+1+A?'B:C'USH+94W"));
}

// The segment count against a plain reading of the release rule (? makes the next character
// text), on random runs of terminators and release characters at every word alignment.
TEST(EdifactEnvelope, SegmentCountFollowsTheReleaseRule) {
  const auto reference = [](std::string_view text, std::size_t from, std::size_t to) {
    std::int64_t count = 1;
    for (std::size_t at = from; at < to; ++at) {
      if (text[at] == kReleaseCharacter) {
        ++at;
      } else if (text[at] == kSegmentTerminator) {
        ++count;
      }
    }
    return count;
  };
  std::mt19937 random(47);
  const char alphabet[] = {'\'', '\'', '?', '?', 'A', '+'};
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 120, ' ');
    for (char& c : text) c = alphabet[random() % sizeof alphabet];
    const std::size_t from = text.empty() ? 0 : random() % (text.size() / 4 + 1);
    const std::size_t to = from + (text.size() == from ? 0 : random() % (text.size() - from + 1));
    SCOPED_TRACE(text + " [" + std::to_string(from) + ", " + std::to_string(to) + ")");
    ASSERT_EQ(reference(text, from, to), countSegments(text, from, to));
  }
}

TEST(EdifactEnvelope, IdentityForms) {
  const std::string org40 = "ORGANISATION-OF-FORTY-CHARACTERS-ABCDEF";  // 39
  const std::string forty = org40 + "G";
  ASSERT_EQ(40u, forty.size());
  const std::string x35(35, 'X');
  const std::string a34(34, 'A');
  const std::string big5 = a34 + "\xA4\xA4" + "BCD";  // a Big5 character across byte 35
  struct Case {
    std::int32_t keyType;
    SignerIdentity identity;
    std::string segment;
  };
  const Case cases[] = {
      {0, {"1234567890", "U001", "ORG01"}, "USC+1234567890+3:::::U001:ORG01"},
      {-1, {"1", "U", "O"}, "USC+1+3:::::U:O"},
      {3, {"0A", "U001", "ORG01"}, "USC+0A+3:::::ORG01::U001"},
      {3, {"0A", "U001", x35}, "USC+0A+3:::::" + x35 + "::U001"},
      {3, {"0A", "U001", forty}, "USC+0A+3:::::ORGANISATION-OF-FORTY-CHARACTERS-AB:CDEFG:U001"},
      {3, {"0A", "U001", big5}, "USC+0A+3:::::" + a34 + ":\xA4\xA4" + "BCD:U001"},
      // Syntax characters inside an identifier are released.
      {0, {"12", "O'Neil+1", "A:B?"}, "USC+12+3:::::O?'Neil?+1:A?:B??"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment);
    std::string segment;
    EXPECT_EQ(kOk, identitySegment(c.identity, c.keyType, segment));
    EXPECT_EQ(c.segment, segment);
  }

  std::string segment;
  const SignerIdentity longest{"1", "U", std::string(35 + 127, 'X')};
  EXPECT_EQ(kOk, identitySegment(longest, 3, segment));
  const SignerIdentity tooLong{"1", "U", std::string(35 + 128, 'X')};
  EXPECT_EQ(kEncodeFailed, identitySegment(tooLong, 3, segment));
  const SignerIdentity huge{"1", std::string(1010, 'U'), "O"};
  EXPECT_EQ(kEncodeFailed, identitySegment(huge, 0, segment));
}

TEST(EdifactEnvelope, ZrmlTokenNamesSha1AndSplitsALongOrganisation) {
  Parties parties;
  parties.identity = {"0A", "U001", std::string(35, 'O') + "TAILS"};
  const std::string out = signedOrFail(kInvoice, parties.signing(3));
  EXPECT_EQ(
      "UNH+1+INVOIC:D:96A:UN'"
      "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::8:1'"
      "USC+0A+3:::::OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO:TAILS:U001'USA+6:::10:1'"
      "BGM+380+1'UST+01'USR+0123456789ABCDEF'UNT+9+1'",
      out);
}

TEST(EdifactEnvelope, BadMessagesAreRefusedBeforeTheTokenIsAsked) {
  const char* const messages[] = {
      "",
      "U'+:",                                              // shorter than 5
      "UNH+1+INVOIC'BGM+380+1'UNT+3+1'",                   // no ':'
      "UNH+1+A:B+BGM+380+1+UNT+3+1",                       // no '
      "UNH 1:A'BGM+1'UNT+3+1'",                            // no UNH
      "UNH+1+A:B'BGM+380+1'",                              // no UNT
      "UNT+3+1'UNH+1+A:B'BGM+1'",                          // UNT only before UNH
      "UNH+1+A:B?'BGM+380+1?'UNT+3+1?'",                   // ' only inside released text
      "UNH+1+A:B'USH+1'USA+1'BGM+1'UST+01'UNT+5+1'",       // a USH without USC
      "UNH+1+A:B'USH+1'USA+1'USC+1'USA+1'BGM+1'UNT+5+1'",  // a USH without UST
      "UNH+1+A:B'BGM+380+1'UNT+3'",                        // UNT without a message reference
      "UNH+1+A:B'BGM+380+1'UNT+3'UNZ+1+REF'",              // ... and the next segment's + isn't it
  };
  for (const char* message : messages) {
    SCOPED_TRACE(message);
    Parties parties;
    std::string out;
    EXPECT_EQ(kEncodeFailed, signEdifactMessage(message, parties.signing(), out));
    EXPECT_EQ(0, parties.identityReads);
    EXPECT_TRUE(parties.signedData.empty());
  }
}

TEST(EdifactEnvelope, FailuresOfTheTokenSideStopTheSigning) {
  Parties noIdentity;
  noIdentity.identityCode = kReadFailed;
  std::string out;
  EXPECT_EQ(kReadFailed, signEdifactMessage(kInvoice, noIdentity.signing(), out));
  EXPECT_TRUE(noIdentity.signedData.empty());

  Parties noKey;
  noKey.signCode = kSigningKeyMissing;
  EXPECT_EQ(kSigningKeyMissing, signEdifactMessage(kInvoice, noKey.signing(), out));

  for (const char* bad : {"", "01'23", "abcd"}) {
    SCOPED_TRACE(bad);
    Parties garbled;
    garbled.signature = bad;
    EXPECT_EQ(kNoSignature, signEdifactMessage(kInvoice, garbled.signing(), out));
  }

  Parties farFuture;
  EXPECT_EQ(kNotCompleted,
            signEdifactMessage(kInvoice, farFuture.signing(0, {10000, 1, 1, 0, 0, 0}), out));
  EXPECT_EQ("20050331:155648", signingTimeText({2005, 3, 31, 15, 56, 48}));
}

// Segment-like text outside the places the envelope owns is left alone: an interchange header
// before UNH, a USR or USA segment in the body, whatever follows UNT.
TEST(EdifactEnvelope, OnlyTheEnvelopesOwnSegmentsAreWritten) {
  Parties parties;
  const std::string out = signedOrFail(
      "UNB+UNOA:1+USA+USC+X'UNH+1+A:B'USR+KEEP'BGM+1'UNT+4+1'UNZ+1+X'", parties.signing());
  EXPECT_EQ(
      "UNB+UNOA:1+USA+USC+X'UNH+1+A:B'"
      "USH+94W+1+01+1+2+2+2+1++++1:20240102:030405'USA+1:::6:1'"
      "USC+1234567890+3:::::U001:ORG01'USA+6:::10:1'"
      "USR+KEEP'BGM+1'UST+01'USR+0123456789ABCDEF'UNT+10+1'UNZ+1+X'",
      out);
}

// A long message is signed in place: with room to spare its buffer isn't replaced.
TEST(EdifactEnvelope, LongMessagesAreSignedInPlace) {
  constexpr int kSegments = 600'000;  // about 16 MB
  std::string message = "UNH+1+INVOIC:D:96A:UN'";
  message.reserve(kSegments * 28 + 64 + kMaxEnvelopeGrowth);
  for (int i = 0; i < kSegments; ++i) message += "FTX+AAI+++LINE?'S TEXT:0001'";
  message += "UNT+1+1'";
  const char* const buffer = message.data();
  Parties parties;
  ASSERT_EQ(kOk, signEdifactMessage(message, parties.signing()));
  EXPECT_EQ(buffer, message.data());
  EXPECT_EQ("UST+01'USR+0123456789ABCDEF'UNT+" + std::to_string(kSegments + 8) + "+1'",
            message.substr(message.rfind("UST+")));
  ASSERT_EQ(1u, parties.signedData.size());
  EXPECT_EQ(message.find("USH+"), message.find(parties.signedData[0]));
}

// A long message with every kind of segment end (plain, released, after ?? and ???, Big5 bytes
// next to syntax characters) at every offset: the signed text is fixed, byte for byte, by its
// SHA-256, so that faster code must give what the first one gave.
TEST(EdifactEnvelope, LongMixedMessageSignsToTheSameBytes) {
  const std::string pieces[] = {"FTX+AAI+++O?'NEIL SUPPLY?: NET 30'",
                                "QTY+47:12:PCE'",
                                "FTX+AAI+++Q?\?'",
                                "FTX+AAI+++\xA4\xA4\xA4\xE5?''",
                                "FTX+AAI+++R?\?\?'S'",
                                "MOA+203:1248.50'",
                                "X'"};
  std::string message = "UNB+UNOA:1+X'UNH+1+INVOIC:D:96A:UN'BGM+380+1'";
  std::mt19937 random(11);
  while (message.size() < 1'000'000) message += pieces[random() % std::size(pieces)];
  message += "UNT+3+1'UNZ+1+X'";
  Parties parties;
  std::string out;
  ASSERT_EQ(kOk, signEdifactMessage(message, parties.signing(), out));
  unsigned char digest[32];
  unsigned int length = 0;
  ASSERT_EQ(1, EVP_Digest(out.data(), out.size(), digest, &length, EVP_sha256(), nullptr));
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  EXPECT_EQ("247998230D39E945AC6E7CE14EA2F37CD58E5DC0E47079EED7477C09E52C57E7", hex);
  EXPECT_EQ("UST+01'USR+0123456789ABCDEF'UNT+61547+1'UNZ+1+X'", out.substr(out.rfind("UST+")));
}

// The scan that runs while the text is written, fed in pieces of every size so that tags, runs
// of ? and terminators straddle the pieces' edges, finds what the search of the finished text
// finds: the same code, the same signed bytes and the same placement, on random texts that mix
// the tags the search looks for with the characters it counts.
TEST(EdifactEnvelope, ScanWhileWrittenFindsWhatTheSearchFinds) {
  const std::string pieces[] = {"UNH+1+INVOIC:D:96A:UN",
                                "USH+",
                                "UST+",
                                "UNT+",
                                "USA+",
                                "USC+",
                                "UNT+3+1",
                                "U",
                                "UN",
                                "US",
                                "+",
                                ":",
                                "'",
                                "?'",
                                "?\?'",
                                "?\?\?'",
                                "?",
                                "QTY+47:12:PCE'",
                                "\xA4\xA4",
                                "\xE5?",
                                "LIN+1++40008621414"};
  std::mt19937 random(29);
  int signedCount = 0;
  for (int round = 0; round < 4000; ++round) {
    SCOPED_TRACE(round);
    // A third of the texts start as a message does, and another third also keep the tags out
    // of the body, so that long bodies are counted lane by lane up to a UNT near the end.
    const int form = round % 3;
    std::string message = form == 0 ? "" : "UNH+1+INVOIC:D:96A:UN'";
    const std::size_t length = round % 10 == 0 ? 3000 : random() % 400;
    constexpr std::size_t kFirstUntagged = 7;
    while (message.size() < length) {
      const std::size_t first = form == 2 ? kFirstUntagged : 0;
      const auto& piece = pieces[first + random() % (std::size(pieces) - first)];
      // Filler between the pieces moves them against the scan's lanes of 16 bytes.
      message.append(random() % 20, static_cast<char>('a' + random() % 3));
      message += piece;
    }
    if (form == 2) message += "UNT+3+1'" + std::string(random() % 40, 'z');
    std::string plain = message;
    Parties plainParties;
    EnvelopePlacement plainPlaced;
    const std::int32_t plainCode = signEdifactMessage(plain, plainParties.signing(), &plainPlaced);

    MessageScan scan;
    for (std::size_t written = 0; written < message.size();) {
      written = std::min(message.size(), written + 1 + random() % (round % 3 == 0 ? 5 : 70));
      scan.advance(std::string_view(message).substr(0, written));
    }
    scan.finish(message);
    std::string scanned = message;
    Parties scannedParties;
    EnvelopePlacement scannedPlaced;
    const std::int32_t scannedCode =
        signEdifactMessage(scanned, scannedParties.signing(), &scannedPlaced, &scan);

    ASSERT_EQ(plainCode, scannedCode) << message;
    ASSERT_EQ(plainParties.signedData, scannedParties.signedData) << message;
    if (plainCode != kOk) continue;
    ++signedCount;
    ASSERT_EQ(plain, scanned) << message;
    EXPECT_EQ(plainPlaced.headerAt, scannedPlaced.headerAt);
    EXPECT_EQ(plainPlaced.headerReplaced, scannedPlaced.headerReplaced);
    EXPECT_EQ(plainPlaced.trailerAt, scannedPlaced.trailerAt);
    EXPECT_EQ(plainPlaced.trailerReplaced, scannedPlaced.trailerReplaced);
    EXPECT_EQ(plainPlaced.trailerLength, scannedPlaced.trailerLength);
  }
  EXPECT_GT(signedCount, 400);  // the texts reach the signing, not only the refusals
}

// A scan finished on another text, or not finished, isn't trusted: the text is searched.
TEST(EdifactEnvelope, ScanOfAnotherTextIsNotUsed) {
  const std::string other = "UNH+1'X'Y'Z'UNT+9+1'";
  for (const bool finished : {true, false}) {
    MessageScan scan;
    scan.advance(other);
    if (finished) scan.finish(other);
    std::string message(kInvoice);
    Parties parties;
    ASSERT_EQ(kOk, signEdifactMessage(message, parties.signing(), nullptr, &scan));
    Parties plainParties;
    EXPECT_EQ(signedOrFail(kInvoice, plainParties.signing()), message);
  }
}

}  // namespace
}  // namespace kestrune::edifact
