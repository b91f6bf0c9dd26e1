#include "tools/kestrune/verify_edifact.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FEDIX509/fedi_x509.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include "token/base64.h"
#include "tools/kestrune/certificate_file.h"

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

}  // namespace

int runVerifyEdifact(const std::string& messageFile, const std::string& certificateFile,
                     std::ostream& out, std::ostream& err) {
  std::vector<std::uint8_t> message;
  if (platform::readFile(messageFile.c_str(), message) != platform::FileStatus::ok) {
    err << "kestrune verify-edifact: cannot read " << messageFile << "\n";
    return kUsageError;
  }
  std::vector<std::uint8_t> certificateBytes;
  std::string why;
  switch (readBoundedFile(certificateFile, kMaxCertificateFile, certificateBytes, why)) {
    case FileRead::ok:
      break;
    case FileRead::cannotRead:
      err << "kestrune verify-edifact: cannot read " << certificateFile << ": " << why << "\n";
      return kUsageError;
    case FileRead::tooLarge:
      err << "kestrune verify-edifact: " << certificateFile << " is larger than "
          << kMaxCertificateFile << " bytes; not a certificate\n";
      return kUsageError;
  }

  // The FEDI bag first, as the control hands it out; then an X.509 certificate, whose key
  // checks the envelope all the same.
  edifact::VerifyReport report;
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  edifact::VerifyStatus status = edifact::VerifyStatus::failed;
  if (const fedi::RecordPtr<FEDICERT> bag = readBag(certificateBytes)) {
    status = edifact::verifyEdifactMessage(text, bag.get(), report);
  } else {
    CertificateFile certificate;
    std::string why;
    if (!decodeCertificateFile(certificateBytes, certificate, why)) {
      err << "kestrune verify-edifact: " << certificateFile
          << " is neither a FEDI certificate bag (DER, or Base64 of DER) nor an X.509 "
             "certificate (DER or PEM)\n";
      return kUsageError;
    }
    EVP_PKEY* key = X509_get0_pubkey(certificate.certificate.get());
    status = key != nullptr
                 ? edifact::verifyEdifactMessage(text, key, report)
                 : edifact::signerKeyMissing(report, "the certificate's public key can't be read");
  }
  if (status == edifact::VerifyStatus::ok) {
    out << "OK: " << report.message << "\n";
    return kVerified;
  }
  out << "FAILED: " << (report.message.empty() ? "out of memory" : report.message) << "\n";
  return kNotVerified;
}

}  // namespace kestrune::host
