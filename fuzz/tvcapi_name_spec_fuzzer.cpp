// The name-specification matchers on arbitrary specifications against certificates with
// arbitrary subject and issuer names and serial numbers. Input: a flag byte (bit 0 loose
// matching), the serial's length (at most 32) and bytes, the name's length (two bytes, big
// endian) and DER, then the subject or issuer conditions to match. Every outcome is one of
// the matchers' codes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TVCAPI/name_spec.h"
#include "TVCAPI/tvcapi.h"
#include "fuzz/fuzz_require.h"

namespace {

constexpr const char* kTarget = "tvcapi_name_spec_fuzzer";

bool knownCode(std::int32_t rc) {
  for (std::int32_t code : {0, -1, 5001, 5002, 5003, 5014, 5045, 5901}) {
    if (rc == code) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrune::fuzz::require;
  if (size < 4) return 0;
  const std::uint32_t flags = (data[0] & 1) != 0 ? TVCAPI_LOOSE_MATCH : 0;
  const std::size_t serialLength = data[1] % 33;
  std::size_t at = 2;
  if (size < at + serialLength + 2) return 0;
  BYTE serial[32];
  for (std::size_t i = 0; i < serialLength; ++i) serial[i] = data[at + i];
  at += serialLength;
  const std::size_t nameLength = (std::size_t{data[at]} << 8) | data[at + 1];
  at += 2;
  if (size < at + nameLength) return 0;
  std::vector<BYTE> name(data + at, data + at + nameLength);
  at += nameLength;
  const std::string spec(reinterpret_cast<const char*>(data + at), size - at);

  CERT_INFO info{};
  info.SerialNumber = {static_cast<DWORD>(serialLength), serial};
  info.Subject = {static_cast<DWORD>(name.size()), name.data()};
  info.Issuer = info.Subject;
  CERT_CONTEXT context{X509_ASN_ENCODING, nullptr, 0, &info, nullptr};

  for (NameSide side : {NameSide::subject, NameSide::issuer}) {
    std::size_t position = 0;
    std::string_view alternative;
    while (tvxCAPINextAlternative(spec, position, alternative)) {
      require(kTarget, knownCode(tvxCAPIValidateCertName(&context, alternative, flags, side)),
              "a matcher gave a code outside its set");
    }
  }
  const std::int32_t list = tvxCAPIValidateCertIssuerList(&context, spec.c_str(), flags);
  require(kTarget, list == 0 || list == 5014, "the issuer list gave a code outside its set");
  tvxCAPIMatchSerialList(info.SerialNumber, spec);
  BYTE bytes[kSerialItemLimit];
  std::size_t count = 0;
  if (tvxCAPIHexToBytes(spec, bytes, sizeof bytes, count)) {
    require(kTarget, count >= 1 && count <= sizeof bytes && count == (spec.size() + 1) / 2,
            "hexadecimal digits gave the wrong byte count");
  }
  return 0;
}
