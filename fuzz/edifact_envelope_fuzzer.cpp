// Builds the EDIFACT security envelope around arbitrary page text. The first byte chooses the
// token type (bit 0: ZRML, hashed with SHA-1) and the text's form (bit 1: UTF-16LE page text
// taken through code page 950 as FEDIMessageSign takes it; otherwise code page 950 bytes as
// they are). The envelope either refuses the text as malformed, asking nothing of the token,
// or signs it: then the token was asked once each, the signed range stands in the message
// with the trailer after it, the text converts back, and, when no other envelope segment or
// message header is there for the verifier to find first, it verifies. The scan that runs
// while a text is written finds what the search of the finished text finds.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "edifact/edifact.h"
#include "fuzz/edifact_signer.h"
#include "platform/platform.h"

namespace {

using namespace kestrune;
using fuzz::require;

// clean: the verifier reads the envelope that the builder wrote, and nothing else.
bool clean(std::string_view original) {
  for (const std::string_view tag : {"USH+", "USA+", "USC+", "UST+", "USR+"}) {
    if (original.find(tag) != std::string_view::npos) return false;
  }
  const std::size_t unh = original.find("UNH+");
  return original.find("UNH+", unh + 1) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int32_t keyType = (data[0] & 1) != 0 ? edifact::kSha1KeyType : 0;
  std::string message;
  if ((data[0] & 2) != 0) {
    std::u16string page;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
      const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (unit == 0) break;  // the page's text ends at its first zero
      page += unit;
    }
    if (!platform::toCodePage950(page, message)) return 0;  // malformed UTF-16
  } else {
    message.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  }
  const std::string original = message;

  int identityReads = 0;
  int signings = 0;
  std::string signedRange;
  std::ptrdiff_t header = -1;  // where the range starts in the message being signed in place
  edifact::EnvelopeSigning how;
  how.keyType = keyType;
  how.signedAt = {2024, 1, 2, 3, 4, 5};
  how.readIdentity = [&](edifact::SignerIdentity& identity) {
    ++identityReads;
    identity = {"1234567890", "U001", "ORG01"};
    return edifact::kOk;
  };
  how.sign = [&](std::string_view range, std::string& hex) {
    ++signings;
    signedRange.assign(range);
    header = range.data() - message.data();
    return fuzz::signHex(range, keyType, hex);
  };

  const std::int32_t code = edifact::signEdifactMessage(message, how);

  // The scan that runs while a text is written, fed the original in pieces of a size the first
  // byte chooses, leads to the same result as the search of the finished text.
  {
    edifact::MessageScan scan;
    const std::size_t piece = (data[0] >> 2) + 1;
    std::vector<edifact::MessageScan::Progress> seen;
    for (std::size_t written = 0; written < original.size();) {
      written = std::min(original.size(), written + piece);
      scan.advance(std::string_view(original).substr(0, written));
      seen.push_back(scan.progress());
    }
    scan.finish(original);
    // What the scan vouched for on the way is what the whole text shows: a message that gets
    // its header after UNH has its body where the scan said, and signs header and body alone.
    const edifact::MessageScan::Progress last = scan.progress();
    if (last.plain && !last.envelope && last.bodyEnd != std::string_view::npos) {
      for (const edifact::MessageScan::Progress& then : seen) {
        require(!then.envelope && (!then.plain || (then.bodyBegin == last.bodyBegin &&
                                                   then.settled <= last.bodyEnd)),
                "the scan vouched for more of the body than there is");
      }
      if (code == edifact::kOk && header == static_cast<std::ptrdiff_t>(last.bodyBegin)) {
        edifact::SignerIdentity identity{"1234567890", "U001", "ORG01"};
        std::string segment;
        require(edifact::identitySegment(identity, keyType, segment) == edifact::kOk,
                "the identity has no segment");
        const std::string guessed = edifact::headerGroup(how.signedAt, keyType, segment) +
                                    original.substr(last.bodyBegin, last.bodyEnd - last.bodyBegin);
        require(signedRange == guessed, "the header and body guessed are not what was signed");
      }
    }
    std::string scanned = original;
    edifact::EnvelopeSigning again = how;
    again.readIdentity = [](edifact::SignerIdentity& identity) {
      identity = {"1234567890", "U001", "ORG01"};
      return edifact::kOk;
    };
    again.sign = [keyType](std::string_view range, std::string& hex) {
      return fuzz::signHex(range, keyType, hex);
    };
    require(edifact::signEdifactMessage(scanned, again, nullptr, &scan) == code &&
                (code != edifact::kOk || scanned == message),
            "the scan while written and the search of the text disagree");
  }
  if (code == edifact::kEncodeFailed) {
    require(identityReads == 0 && signings == 0, "a refused message reached the token");
    return 0;
  }
  require(code == edifact::kOk, "a result other than signed or refused");
  require(identityReads == 1 && signings == 1, "the token was not asked once each");
  require(
      header >= 0 && signedRange.compare(0, 4, "USH+") == 0 &&
          message.compare(static_cast<std::size_t>(header), signedRange.size(), signedRange) == 0,
      "the signed range is not in the signed message");
  require(message.compare(static_cast<std::size_t>(header) + signedRange.size(), 11,
                          "UST+01'USR+") == 0,
          "the trailer does not follow the signed range");
  std::u16string back;
  require(platform::fromCodePage950(message, back), "the signed message does not convert back");

  if (clean(original)) {
    edifact::VerifyReport report;
    require(edifact::verifyEdifactMessage(message, fuzz::signerKey(), report) ==
                edifact::VerifyStatus::ok,
            "a signed message does not verify");
    require(report.signedBytes == signedRange.size(), "the verifier checked another range");
  }
  return 0;
}
