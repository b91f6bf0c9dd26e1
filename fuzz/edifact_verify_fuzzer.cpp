// Verifies arbitrary file bytes as a signed EDIFACT message against the signer's key. The
// report agrees with the result and fits the message; a message that verifies names MD5 or
// SHA-1, and stops verifying when any byte of its signed range changes.
#include <cstdint>
#include <string>
#include <string_view>

#include "edifact/edifact.h"
#include "fuzz/edifact_signer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  using fuzz::require;
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  edifact::VerifyReport report;
  const edifact::VerifyStatus status =
      edifact::verifyEdifactMessage(message, fuzz::signerKey(), report);
  require(status == report.status, "the report disagrees with the result");
  require(status == edifact::VerifyStatus::failed || !report.message.empty(),
          "a report without a reason");
  require(report.signedBytes <= size, "a signed range longer than the message");
  if (status != edifact::VerifyStatus::ok) return 0;

  require(report.algorithm == "MD5" || report.algorithm == "SHA-1", "an unnamed hash verified");
  require(report.segments >= 3, "a verified message with fewer segments than its envelope");
  const std::size_t header = message.find("USH+", message.find("UNH+"));
  require(header != std::string_view::npos && header + report.signedBytes <= size,
          "the signed range lies outside the message");
  // One changed byte, chosen by the message itself, anywhere in the signed range but its
  // "USH+" (without which the verifier would look for another envelope further on).
  std::string changed(message);
  const std::size_t at = header + 4 + data[size / 2] % (report.signedBytes - 4);
  changed[at] = static_cast<char>(changed[at] ^ 0x20);
  edifact::VerifyReport again;
  require(
      edifact::verifyEdifactMessage(changed, fuzz::signerKey(), again) != edifact::VerifyStatus::ok,
      "a changed signed byte still verifies");
  return 0;
}
