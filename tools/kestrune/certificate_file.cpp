#include "tools/kestrune/certificate_file.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <string_view>

#include "platform/named_file.h"
#include "tools/kestrune/display_text.h"

namespace kestrune::host {
namespace {

// decodeDer decodes one certificate that fills bytes exactly: trailing bytes would mean the
// file is something else that merely starts like a certificate.
Ptr<X509> decodeDer(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxCertificateFile) return nullptr;
  const unsigned char* position = bytes.data();
  Ptr<X509> certificate(d2i_X509(nullptr, &position, static_cast<long>(bytes.size())));
  if (!certificate || position != bytes.data() + bytes.size()) return nullptr;
  return certificate;
}

bool looksLikePem(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kBegin = "-----BEGIN ";
  return std::search(bytes.begin(), bytes.end(), kBegin.begin(), kBegin.end()) != bytes.end();
}

// PemBlock owns what PEM_read_bio hands out for one block.
struct PemBlock {
  Ptr<char> name;
  Ptr<char> header;
  Ptr<unsigned char> data;
  long length = 0;

  // read takes the next block, skipping text around it (openssl x509 -text writes some).
  bool read(BIO* bio) {
    char* n = nullptr;
    char* h = nullptr;
    unsigned char* d = nullptr;
    const bool found = PEM_read_bio(bio, &n, &h, &d, &length) == 1;
    name.reset(n);
    header.reset(h);
    data.reset(d);
    return found;
  }
};

bool decodePem(std::span<const std::uint8_t> bytes, CertificateFile& out, std::string& why) {
  Ptr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) {
    why = "out of memory";
    return false;
  }
  PemBlock block;
  if (!block.read(bio.get())) {
    why = "holds no readable PEM block";
    return false;
  }
  const std::string_view name(block.name.get());
  if (name != PEM_STRING_X509 && name != PEM_STRING_X509_OLD) {
    why = "holds a PEM " + oneLine(name.substr(0, 40)) + " block, not a CERTIFICATE";
    return false;
  }
  const std::span<const std::uint8_t> der(block.data.get(), static_cast<std::size_t>(block.length));
  Ptr<X509> certificate = decodeDer(der);
  if (!certificate) {
    why = "has a PEM CERTIFICATE block that is not one X.509 certificate";
    return false;
  }
  if (PemBlock next; next.read(bio.get())) {
    why = "holds more than one PEM block; give one certificate";
    return false;
  }
  out.certificate = std::move(certificate);
  out.der.assign(der.begin(), der.end());
  return true;
}

}  // namespace

FileRead readBoundedFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                         std::string& why) {
  why.clear();
  switch (platform::readNamedFile(path, limit, out)) {
    case platform::NamedFileRead::ok:
      return FileRead::ok;
    case platform::NamedFileRead::tooLarge:
      return FileRead::tooLarge;
    case platform::NamedFileRead::missing:
      why = "no such file";
      break;
    case platform::NamedFileRead::folder:
      why = "it is a folder";
      break;
    case platform::NamedFileRead::notRegular:
      why = "it is a device, a FIFO or a socket, not a regular file";
      break;
    case platform::NamedFileRead::denied:
      why = "permission denied";
      break;
    case platform::NamedFileRead::failed:
      why = "it could not be opened or read";
      break;
  }
  return FileRead::cannotRead;
}

bool decodeCertificateFile(std::span<const std::uint8_t> bytes, CertificateFile& out,
                           std::string& why) {
  out = {};
  if (looksLikePem(bytes)) {
    const bool decoded = decodePem(bytes, out, why);
    ERR_clear_error();
    return decoded;
  }
  out.certificate = decodeDer(bytes);
  ERR_clear_error();
  if (!out.certificate) {
    why = "is neither a DER nor a PEM X.509 certificate";
    return false;
  }
  out.der.assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace kestrune::host
