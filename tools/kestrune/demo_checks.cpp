#include "tools/kestrune/demo_checks.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace kestrune::host {
namespace {

struct OpenSslFree {
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
template <class T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

std::string pathIn(const std::string& dir, const char* name) {
  return dir + "/" + name;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string utcDate(std::int64_t t) {
  const auto moment = static_cast<std::time_t>(t);
  std::tm utc{};
  if (OPENSSL_gmtime(&moment, &utc) == nullptr) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  return text;
}

std::string magnitudeHex(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && bytes.front() == 0) bytes = bytes.subspan(1);
  if (bytes.empty()) return "0";
  std::string text;
  for (std::uint8_t byte : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

bool md5SignatureVerifies(std::string_view hexSignature, std::string_view data,
                          FEDI_X509* certificate) {
  const std::string hex(hexSignature);
  long length = 0;
  const OpenSslPtr<unsigned char> signature(OPENSSL_hexstr2buf(hex.c_str(), &length));
  const OpenSslPtr<EVP_PKEY> key(FEDI_X509_get_pubkey(certificate));
  const OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!signature || !key || !context) return false;
  return EVP_DigestVerifyInit(context.get(), nullptr, EVP_md5(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.get(), static_cast<std::size_t>(length),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

bool writeSignedFiles(const std::string& dir, std::u16string_view message,
                      std::span<const std::uint8_t> bagDer, std::string& why) {
  std::string text;
  if (!platform::toCodePage950(message, text)) {
    why = "the signed message does not convert to code page 950";
    return false;
  }
  for (const auto& [name, bytes] :
       {std::pair{kSignedMessageFile, bytesOf(text)}, std::pair{kUserBagFile, bagDer}}) {
    const std::string path = pathIn(dir, name);
    if (platform::writeFile(path.c_str(), bytes) != platform::FileStatus::ok) {
      why = "cannot write " + path;
      return false;
    }
  }
  return true;
}

edifact::VerifyStatus verifySignedFiles(const std::string& dir, edifact::VerifyReport& report) {
  report = edifact::VerifyReport{};
  std::vector<std::uint8_t> message;
  std::vector<std::uint8_t> bagDer;
  for (const auto& [name, bytes] :
       {std::pair{kSignedMessageFile, &message}, std::pair{kUserBagFile, &bagDer}}) {
    const std::string path = pathIn(dir, name);
    if (platform::readFile(path.c_str(), *bytes) != platform::FileStatus::ok) {
      report.message = "cannot read " + path;
      return report.status = edifact::VerifyStatus::failed;
    }
  }
  const unsigned char* position = bagDer.data();
  const fedi::RecordPtr<FEDICERT> bag(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(bagDer.size())));
  if (!bag) {
    report.message = pathIn(dir, kUserBagFile) + " is not a FEDI certificate bag";
    return report.status = edifact::VerifyStatus::failed;
  }
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  return edifact::verifyEdifactMessage(text, bag.get(), report);
}

}  // namespace kestrune::host
