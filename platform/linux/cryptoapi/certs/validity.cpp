// Validity period and key usage of a CERT_INFO.
#include "platform/linux/cryptoapi/certs/capi.h"
#include "platform/linux/cryptoapi/certs/der_tlv.h"

using namespace kestrune::cryptoapi;

namespace {

std::uint64_t ticksOf(const FILETIME& t) {
  return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

constexpr const char* kKeyUsageOid = "2.5.29.15";

}  // namespace

LONG CertVerifyTimeValidity(LPFILETIME time, PCERT_INFO certInfo) {
  if (certInfo == nullptr) return 0;
  FILETIME now{};
  if (time == nullptr) GetSystemTimeAsFileTime(&now);
  const std::uint64_t at = ticksOf(time != nullptr ? *time : now);
  if (at < ticksOf(certInfo->NotBefore)) return -1;
  if (at > ticksOf(certInfo->NotAfter)) return 1;
  return 0;
}

// KeyUsage ::= BIT STRING: the first content octet counts the unused bits; the next ones are
// the bits, digitalSignature first (0x80 of the first byte), decipherOnly as 0x80 of the
// second.
BOOL CertGetIntendedKeyUsage(DWORD encodingType, PCERT_INFO certInfo, BYTE* usage,
                             DWORD usageLength) {
  if (certInfo == nullptr || !hasX509Encoding(encodingType)) return fail(kInvalidArg);
  const CERT_EXTENSION* extension = nullptr;
  for (DWORD i = 0; certInfo->rgExtension != nullptr && i < certInfo->cExtension; ++i) {
    if (certInfo->rgExtension[i].pszObjId != nullptr &&
        std::strcmp(certInfo->rgExtension[i].pszObjId, kKeyUsageOid) == 0) {
      extension = &certInfo->rgExtension[i];
      break;
    }
  }
  if (extension == nullptr) return fail(0);
  der::Reader reader(ByteView(extension->Value.pbData,
                              extension->Value.pbData != nullptr ? extension->Value.cbData : 0));
  const auto bits = reader.next(der::kBitString);
  if (!bits || !reader.empty() || bits->content.empty() || bits->content[0] > 7)
    return fail(CRYPT_E_ASN1_CORRUPT);
  const ByteView value = bits->content.subspan(1);
  if (usage != nullptr) {
    for (DWORD i = 0; i < usageLength; ++i) usage[i] = i < value.size() ? value[i] : 0;
  }
  return TRUE;
}
