// Certificate files named on the command line: one X.509 certificate, DER or PEM, read with a
// bound and decoded strictly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/ptr.h"

namespace kestrune::host {

// Far above any real certificate; the system stores read no larger file either.
inline constexpr std::size_t kMaxCertificateFile = 1 << 20;

enum class FileRead { ok, cannotRead, tooLarge };

// readBoundedFile fills out with the bytes of the regular file at path: ok, cannotRead (why
// then says what it is instead: missing, a folder, a device, FIFO or socket, not readable),
// tooLarge (more than limit bytes); out is empty unless ok. A FIFO never blocks the read.
FileRead readBoundedFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                         std::string& why);

struct CertificateFile {
  Ptr<X509> certificate;
  std::vector<std::uint8_t> der;  // the certificate's encoding as the file gave it
};

// decodeCertificateFile takes bytes as one DER certificate filling them exactly, or as PEM text
// holding a single "CERTIFICATE" block and no other block. It returns true and fills out; false
// with why set to a short reason otherwise.
bool decodeCertificateFile(std::span<const std::uint8_t> bytes, CertificateFile& out,
                           std::string& why);

}  // namespace kestrune::host
