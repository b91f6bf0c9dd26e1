#include "tools/kestrune/verify_edifact.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include "FEDIX509/fedi_x509.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include "token/base64.h"
#include "tools/kestrune/certificate_file.h"
#include "tools/kestrune/display_text.h"

namespace kestrune::host {
namespace {

constexpr int kVerified = 0;
constexpr int kNotVerified = 1;
constexpr int kUsageError = 2;

// decodeBag decodes DER that fills bytes, apart from trailing zero bytes (the token stores a
// value with one, and getCert writes it out so); null when it doesn't.
fedi::RecordPtr<FEDICERT> decodeBag(const std::vector<std::uint8_t>& bytes) {
  const unsigned char* position = bytes.data();
  fedi::RecordPtr<FEDICERT> bag(d2i_FEDICERT(nullptr, &position, static_cast<long>(bytes.size())));
  if (!bag) return nullptr;
  const auto rest = static_cast<std::size_t>(position - bytes.data());
  const bool onlyZeros = std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(rest), bytes.end(),
                                     [](std::uint8_t byte) { return byte == 0; });
  return onlyZeros ? std::move(bag) : nullptr;
}

// readBag takes the file as DER first, then as Base64 text of DER.
fedi::RecordPtr<FEDICERT> readBag(const std::vector<std::uint8_t>& file) {
  if (auto bag = decodeBag(file)) return bag;
  std::vector<std::uint8_t> der;
  const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
  if (!token::text_Base64Decode(text, der) || der.empty()) return nullptr;
  return decodeBag(der);
}

// decimal writes a serial number in decimal, as certificates are listed; "?" when it can't.
std::string decimal(const ASN1_INTEGER* serial) {
  const Ptr<BIGNUM> number(serial != nullptr ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr);
  const Ptr<char> text(number ? BN_bn2dec(number.get()) : nullptr);
  return text ? std::string(text.get()) : std::string("?");
}

// nameText writes a name most specific part first ("CN=U001, O=ORG01"), on one line.
std::string nameText(const X509_NAME* name) {
  const Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  constexpr unsigned long kFlags = (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK) | XN_FLAG_SEP_CPLUS_SPC;
  if (!bio || name == nullptr || X509_NAME_print_ex(bio.get(), name, 0, kFlags) < 0) return "?";
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? oneLine(std::string_view(data, static_cast<std::size_t>(length))) : "?";
}

// The certificate whose key checked the signature, as the OK line names it.
struct SignerCertificate {
  std::string serial;
  std::string subject;
};

SignerCertificate describe(FEDICERT* bag) {
  const fedi::RecordPtr<FEDI_X509> first(FEDICERT_get_cert(bag, 0));
  if (!first) return {"?", "?"};
  return {decimal(FEDI_X509_get_serialNumber(first.get())),
          nameText(FEDI_X509_get_subject_name(first.get()))};
}

SignerCertificate describe(X509* certificate) {
  return {decimal(X509_get0_serialNumber(certificate)),
          nameText(X509_get_subject_name(certificate))};
}

// verifiedLine says what the signature covers and what was left unchecked: the signed range is
// USH up to UST only, and the certificate is taken as given.
std::string verifiedLine(const edifact::VerifyReport& report, const SignerCertificate& signer,
                         const std::string& certificateChecked) {
  std::string line = "OK: " + report.algorithm + " signature of the signed range USH up to UST (" +
                     std::to_string(report.signedBytes) +
                     " bytes; UNH and UNT lie outside it) verified with the key of certificate "
                     "serial " +
                     signer.serial + " (" + signer.subject + ")";
  const std::string named = report.signer.empty() ? "none" : oneLine(report.signer);
  if (named != signer.serial) line += "; the message's USC names certificate serial " + named;
  line += "; UNT's count of " + std::to_string(report.segments) + " segments is right; ";
  line += certificateChecked.empty()
              ? "the certificate itself (issuer, validity, revocation) was not checked"
              : certificateChecked;
  return line;
}

// timeText writes a certificate time as ISO 8601; "never" for FEDI's all-nines end.
std::string timeText(const ASN1_TIME* time) {
  if (time == nullptr) return "?";
  const std::string_view raw(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                             static_cast<std::size_t>(std::max(0, ASN1_STRING_length(time))));
  if (raw.starts_with("999999")) return "never";
  const Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print_ex(bio.get(), time, ASN1_DTFLGS_ISO8601) != 1) return "?";
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : "?";
}

// checkIssuer checks the signer's certificate against the authority's: the authority's name as
// its issuer, the signature by the authority's key, and its dates today. It returns why the
// certificate fails, or nothing with checked saying what held; revocation stays unchecked.
std::optional<std::string> checkIssuer(FEDICERT* signerBag, FEDICERT* authorityBag,
                                       std::string& checked) {
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(signerBag, 0));
  const fedi::RecordPtr<FEDI_X509> authority(FEDICERT_get_cert(authorityBag, 0));
  if (!certificate || !authority) return "a certificate bag holds no certificate";
  const std::string authorityName = nameText(FEDI_X509_get_subject_name(authority.get()));
  const X509_NAME* issuer = FEDI_X509_get_issuer_name(certificate.get());
  if (issuer == nullptr ||
      X509_NAME_cmp(issuer, FEDI_X509_get_subject_name(authority.get())) != 0) {
    return "the certificate's issuer (" + nameText(issuer) + ") is not the authority (" +
           authorityName + ")";
  }
  const Ptr<EVP_PKEY> authorityKey(FEDI_X509_get_pubkey(authority.get()));
  if (!authorityKey) return "the authority's certificate holds no key that can be read";
  if (FEDI_X509_verify(certificate.get(), authorityKey.get()) != 1) {
    return "the certificate's signature does not verify with the key of the authority (" +
           authorityName + ")";
  }
  const std::time_t now = static_cast<std::time_t>(platform::currentTime());
  const ASN1_TIME* notBefore = FEDI_X509_get_notBefore(certificate.get());
  const ASN1_TIME* notAfter = FEDI_X509_get_notAfter(certificate.get());
  const std::string from = timeText(notBefore);
  const std::string until = timeText(notAfter);
  if (notBefore == nullptr || notAfter == nullptr || from == "?" || until == "?") {
    return "the certificate's validity can't be read";
  }
  const int started = ASN1_TIME_cmp_time_t(notBefore, now);
  if (started == -2 || started > 0) return "the certificate is valid from " + from + " only";
  if (until != "never") {
    const int ends = ASN1_TIME_cmp_time_t(notAfter, now);
    if (ends == -2 || ends <= 0) return "the certificate expired at " + until;
  }
  checked = "the certificate was issued by the authority (" + authorityName +
            ", its signature verified) and is valid now (from " + from + " until " + until +
            "); its revocation was not checked";
  return std::nullopt;
}

// readCertificateBytes reads a certificate file within its bound; false with a line on err.
bool readCertificateBytes(const std::string& path, std::vector<std::uint8_t>& bytes,
                          std::ostream& err) {
  std::string why;
  switch (readBoundedFile(path, kMaxCertificateFile, bytes, why)) {
    case FileRead::ok:
      return true;
    case FileRead::cannotRead:
      err << "kestrune verify-edifact: cannot read " << path << ": " << why << "\n";
      return false;
    case FileRead::tooLarge:
      err << "kestrune verify-edifact: " << path << " is larger than " << kMaxCertificateFile
          << " bytes; not a certificate\n";
      return false;
  }
  return false;
}

}  // namespace

int runVerifyEdifact(const std::string& messageFile, const std::string& certificateFile,
                     const std::string& authorityFile, std::ostream& out, std::ostream& err) {
  std::vector<std::uint8_t> message;
  if (platform::readFile(messageFile.c_str(), message) != platform::FileStatus::ok) {
    err << "kestrune verify-edifact: cannot read " << messageFile << "\n";
    return kUsageError;
  }
  std::vector<std::uint8_t> certificateBytes;
  if (!readCertificateBytes(certificateFile, certificateBytes, err)) return kUsageError;
  fedi::RecordPtr<FEDICERT> authorityBag;
  if (!authorityFile.empty()) {
    std::vector<std::uint8_t> authorityBytes;
    if (!readCertificateBytes(authorityFile, authorityBytes, err)) return kUsageError;
    authorityBag = readBag(authorityBytes);
    if (!authorityBag || FEDICERT_get_num(authorityBag.get()) < 1) {
      err << "kestrune verify-edifact: " << authorityFile
          << " is no FEDI certificate bag (DER, or Base64 of DER) of the authority\n";
      return kUsageError;
    }
  }

  // The FEDI bag first, as the control hands it out; then an X.509 certificate, whose key
  // checks the envelope all the same.
  edifact::VerifyReport report;
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  edifact::VerifyStatus status = edifact::VerifyStatus::failed;
  SignerCertificate signer;
  const fedi::RecordPtr<FEDICERT> bag = readBag(certificateBytes);
  if (bag) {
    status = edifact::verifyEdifactMessage(text, bag.get(), report);
    signer = describe(bag.get());
  } else {
    CertificateFile certificate;
    std::string why;
    if (!decodeCertificateFile(certificateBytes, certificate, why)) {
      err << "kestrune verify-edifact: " << certificateFile
          << " is neither a FEDI certificate bag (DER, or Base64 of DER) nor an X.509 "
             "certificate (DER or PEM)\n";
      return kUsageError;
    }
    if (authorityBag) {
      err << "kestrune verify-edifact: --ca checks a FEDI certificate; " << certificateFile
          << " is an X.509 certificate\n";
      return kUsageError;
    }
    EVP_PKEY* key = X509_get0_pubkey(certificate.certificate.get());
    status = key != nullptr
                 ? edifact::verifyEdifactMessage(text, key, report)
                 : edifact::signerKeyMissing(report, "the certificate's public key can't be read");
    signer = describe(certificate.certificate.get());
  }
  if (status == edifact::VerifyStatus::ok) {
    std::string certificateChecked;
    if (authorityBag) {
      if (const auto refused = checkIssuer(bag.get(), authorityBag.get(), certificateChecked)) {
        out << "FAILED: the signature verifies, but " << *refused << "\n";
        return kNotVerified;
      }
    }
    out << verifiedLine(report, signer, certificateChecked) << "\n";
    return kVerified;
  }
  out << "FAILED: " << (report.message.empty() ? "out of memory" : report.message) << "\n";
  return kNotVerified;
}

}  // namespace kestrune::host
