#include "tools/kestrune/verify_edifact.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FEDIX509/fedi_x509.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include "token/base64.h"

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

int runVerifyEdifact(const std::string& messageFile, const std::string& bagFile, std::ostream& out,
                     std::ostream& err) {
  std::vector<std::uint8_t> message;
  if (platform::readFile(messageFile.c_str(), message) != platform::FileStatus::ok) {
    err << "kestrune verify-edifact: cannot read " << messageFile << "\n";
    return kUsageError;
  }
  std::vector<std::uint8_t> bagBytes;
  if (platform::readFile(bagFile.c_str(), bagBytes) != platform::FileStatus::ok) {
    err << "kestrune verify-edifact: cannot read " << bagFile << "\n";
    return kUsageError;
  }
  const fedi::RecordPtr<FEDICERT> bag = readBag(bagBytes);
  if (!bag) {
    err << "kestrune verify-edifact: " << bagFile
        << " is not a FEDI certificate bag (DER, or Base64 of DER)\n";
    return kUsageError;
  }

  edifact::VerifyReport report;
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  if (edifact::verifyEdifactMessage(text, bag.get(), report) == edifact::VerifyStatus::ok) {
    out << "OK: " << report.message << "\n";
    return kVerified;
  }
  out << "FAILED: " << (report.message.empty() ? "out of memory" : report.message) << "\n";
  return kNotVerified;
}

}  // namespace kestrune::host
