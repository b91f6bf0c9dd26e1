#include "tests/control/control_test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

#include "common/ptr.h"

namespace kestrune::testing {

CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.out += buffer;
  result.status = pclose(pipe);
  return result;
}

std::u16string u16(std::string_view text) {
  std::u16string wide;
  for (const char c : text) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

MessageRecorder::MessageRecorder() {
  previous_ = platform::setMessageSink([this](std::string_view text, std::string_view caption) {
    shown_.push_back({std::string(text), std::string(caption)});
  });
}

MessageRecorder::~MessageRecorder() {
  platform::setMessageSink(std::move(previous_));
}

std::vector<std::uint8_t> selfSignedCertificate(std::string_view commonName) {
  Ptr<EVP_PKEY> key(EVP_RSA_gen(1024));
  Ptr<X509> certificate(X509_new());
  if (!key || !certificate) {
    ADD_FAILURE() << "OpenSSL could not make a key or certificate";
    return {};
  }
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x0A);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24L * 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  const std::string cn(commonName);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
    ADD_FAILURE() << "OpenSSL could not sign the certificate";
    return {};
  }
  const int length = i2d_X509(certificate.get(), nullptr);
  std::vector<std::uint8_t> der(length > 0 ? static_cast<std::size_t>(length) : 0);
  unsigned char* out = der.data();
  i2d_X509(certificate.get(), &out);
  return der;
}

}  // namespace kestrune::testing
