#include "edifact/edifact.h"

#include <openssl/err.h>

#include <charconv>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "FEDIX509/fedi_md5.h"

namespace kestrune::edifact {
namespace {

constexpr std::size_t npos = std::string_view::npos;

VerifyStatus fail(VerifyReport& report, VerifyStatus status, std::string why) {
  report.status = status;
  report.message = std::move(why);
  return status;
}

// firstElement returns the segment's first data element: from after its 4-character tag
// ("UNT+") up to the next separator or the segment's end.
std::string_view firstElement(std::string_view text, std::size_t segment, std::size_t end) {
  const std::size_t begin = segment + 4;
  const std::string_view rest = text.substr(begin, end == npos ? npos : end - begin);
  return rest.substr(0, rest.find(kElementSeparator));
}

struct Algorithm {
  const EVP_MD* (*md)();
  const char* name;
};

// algorithmOf reads the hash from the first USA segment ("USA+1:::6:1").
std::optional<Algorithm> algorithmOf(std::string_view segment) {
  if (segment == kMd5Algorithm) return Algorithm{fedi::md5, "MD5"};
  if (segment == kSha1Algorithm) return Algorithm{EVP_sha1, "SHA-1"};
  return std::nullopt;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::vector<unsigned char>> hexBytes(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  std::vector<unsigned char> bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = hexValue(hex[2 * i]);
    const int low = hexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return bytes;
}

std::string openSslReason() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  return text;
}

// Where the envelope's parts lie in a signed message.
struct Envelope {
  std::size_t messageStart = 0;  // "UNH+"
  std::size_t header = 0;        // "USH+"
  std::size_t trailer = 0;       // "UST+": the signed range ends here
  std::size_t count = 0;         // "UNT+"
  std::size_t countEnd = 0;      // the UNT segment's terminator, or npos
  Algorithm algorithm{};
  std::string_view signature;  // the USR value
};

VerifyStatus locate(std::string_view text, Envelope& at, VerifyReport& report) {
  const std::size_t unh = text.find("UNH+");
  if (unh == npos) return fail(report, VerifyStatus::noMessageHeader, "no UNH segment");
  at.header = text.find("USH+", unh);
  if (at.header == npos) {
    return fail(report, VerifyStatus::noSecurityHeader, "no USH segment after UNH");
  }
  at.messageStart = text.rfind("UNH+", at.header);

  const std::size_t usa = text.find("USA+", at.header);
  const std::size_t usaEnd = segmentEnd(text, usa);
  if (usaEnd == npos) {
    return fail(report, VerifyStatus::noSecurityHeader,
                "the security header has no terminated USA segment");
  }
  const std::string_view algorithm = text.substr(usa, usaEnd - usa);
  const auto known = algorithmOf(algorithm);
  if (!known) {
    return fail(report, VerifyStatus::unknownAlgorithm,
                "the first USA segment is \"" + std::string(algorithm.substr(0, 64)) +
                    "\", which names neither MD5 (USA+1:::6:1) nor SHA-1 (USA+1:::8:1)");
  }
  at.algorithm = *known;
  report.algorithm = known->name;

  const std::size_t usc = text.find("USC+", usaEnd);
  const std::size_t uscEnd = segmentEnd(text, usc);
  if (uscEnd == npos) {
    return fail(report, VerifyStatus::noSecurityHeader,
                "the security header has no terminated USC segment");
  }
  report.signer = std::string(firstElement(text, usc, uscEnd));

  at.trailer = text.find("UST+", uscEnd);
  if (at.trailer == npos) {
    return fail(report, VerifyStatus::noSecurityTrailer,
                "no UST segment after the security header");
  }
  report.signedBytes = at.trailer - at.header;

  // The signature belongs to this message only when it comes before the message's UNT.
  at.count = text.find("UNT+", at.trailer);
  const std::size_t usr = text.find("USR+", at.trailer);
  if (usr == npos || (at.count != npos && usr > at.count)) {
    return fail(report, VerifyStatus::noSignature, "no USR segment between UST and UNT");
  }
  const std::size_t usrEnd = segmentEnd(text, usr);
  if (usrEnd == npos) {
    return fail(report, VerifyStatus::noSignature, "the USR segment is not terminated");
  }
  at.signature = text.substr(usr + 4, usrEnd - usr - 4);
  if (at.signature.find_first_not_of(' ') == npos) {
    return fail(report, VerifyStatus::noSignature, "the USR segment holds no signature");
  }
  if (at.count == npos) {
    return fail(report, VerifyStatus::noMessageTrailer, "no UNT segment after USR");
  }
  at.countEnd = segmentEnd(text, at.count);
  return VerifyStatus::ok;
}

VerifyStatus checkSignature(std::string_view text, const Envelope& at, EVP_PKEY* key,
                            VerifyReport& report) {
  const auto signature = hexBytes(at.signature);
  if (!signature) {
    return fail(report, VerifyStatus::malformedSignature,
                "the USR segment's signature is not an even number of hexadecimal digits");
  }
  const int modulusBytes = EVP_PKEY_get_size(key);
  if (static_cast<int>(signature->size()) != modulusBytes) {
    return fail(report, VerifyStatus::malformedSignature,
                "the signature has " + std::to_string(signature->size()) +
                    " bytes, the signer's key a modulus of " + std::to_string(modulusBytes));
  }
  const Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestVerifyInit(context.get(), nullptr, at.algorithm.md(), nullptr, key) != 1) {
    return fail(report, VerifyStatus::failed,
                "the signature could not be checked: " + openSslReason());
  }
  const std::string_view signedRange = text.substr(at.header, at.trailer - at.header);
  const int verified = EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                                        reinterpret_cast<const unsigned char*>(signedRange.data()),
                                        signedRange.size());
  if (verified != 1) {
    ERR_clear_error();
    return fail(report, VerifyStatus::badSignature,
                "the " + std::string(at.algorithm.name) + " signature does not match the " +
                    std::to_string(signedRange.size()) +
                    " signed bytes (USH up to UST) and the signer's key");
  }
  return VerifyStatus::ok;
}

VerifyStatus checkCount(std::string_view text, const Envelope& at, VerifyReport& report) {
  const std::string_view written = firstElement(text, at.count, at.countEnd);
  report.segments = countSegments(text, at.messageStart, at.count);
  std::int64_t claimed = 0;
  const auto parsed = std::from_chars(written.data(), written.data() + written.size(), claimed);
  if (written.empty() || parsed.ec != std::errc() ||
      parsed.ptr != written.data() + written.size()) {
    return fail(report, VerifyStatus::malformedCount,
                "the UNT segment count \"" + std::string(written.substr(0, 32)) +
                    "\" is not a decimal number");
  }
  if (claimed != report.segments) {
    return fail(report, VerifyStatus::wrongCount,
                "UNT counts " + std::to_string(claimed) + " segments, the message has " +
                    std::to_string(report.segments));
  }
  return VerifyStatus::ok;
}

}  // namespace

VerifyStatus verifyEdifactMessage(std::string_view message, EVP_PKEY* signerKey,
                                  VerifyReport& report) noexcept {
  try {
    if (signerKey == nullptr || EVP_PKEY_get_base_id(signerKey) != EVP_PKEY_RSA) {
      return signerKeyMissing(report, "the signer's key is not an RSA key");
    }
    report = VerifyReport{};
    Envelope at;
    if (locate(message, at, report) != VerifyStatus::ok) return report.status;
    if (checkSignature(message, at, signerKey, report) != VerifyStatus::ok) return report.status;
    if (checkCount(message, at, report) != VerifyStatus::ok) return report.status;
    report.status = VerifyStatus::ok;
    report.message = report.algorithm + " signature of " + std::to_string(report.signedBytes) +
                     " bytes by " + (report.signer.empty() ? "(no CSN)" : report.signer) +
                     " verified; " + std::to_string(report.segments) + " segments";
    return VerifyStatus::ok;
  } catch (const std::bad_alloc&) {
    report.status = VerifyStatus::failed;
    report.message.clear();
    return VerifyStatus::failed;
  }
}

VerifyStatus signerKeyMissing(VerifyReport& report, const char* why) noexcept {
  report.status = VerifyStatus::noSignerKey;
  report.algorithm.clear();
  report.signedBytes = 0;
  report.signer.clear();
  report.segments = 0;
  try {
    report.message = why;
  } catch (const std::bad_alloc&) {
    report.message.clear();
  }
  return report.status;
}

VerifyStatus verifyEdifactMessage(std::string_view message, FEDI_X509* signer,
                                  VerifyReport& report) noexcept {
  const Ptr<EVP_PKEY> key(FEDI_X509_get_pubkey(signer));
  if (!key) {
    ERR_clear_error();
    return signerKeyMissing(report, "the signer's certificate carries no RSA key that can be read");
  }
  return verifyEdifactMessage(message, key.get(), report);
}

VerifyStatus verifyEdifactMessage(std::string_view message, FEDICERT* signer,
                                  VerifyReport& report) noexcept {
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(signer, 0));
  if (!certificate) return signerKeyMissing(report, "the certificate bag holds no certificate");
  return verifyEdifactMessage(message, certificate.get(), report);
}

}  // namespace kestrune::edifact
