// The identity layouts of the four token types, laid out on a SoftHSM2 token as their
// issuers write them, and the independent check of a signature with OpenSSL against the
// public key read from the token.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ptr.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {

using Bytes = std::vector<std::uint8_t>;

// Linkway: the identifiers as this system writes them (text with its terminating zero) and
// the "FEDICA" key pair.
void layOutLinkway(SoftHsm& hsm, std::string_view sid1, std::string_view sid2);

// SafeNet: the issuer's key pair and one data object labelled with the card serial number,
// holding SID1 as its value and SID2 as its application.
inline constexpr const char* kSafeNetPublicKey = "A FEDI RSA Public Key";
inline constexpr const char* kSafeNetPrivateKey = "A FEDI RSA PRIVATE Key";
void layOutSafeNet(SoftHsm& hsm, std::string_view csn, std::string_view sid1,
                   std::string_view sid2);

// TaiOne: the issuer's key pair and the private "UserData" record.
inline constexpr const char* kTaiOnePublicKey = "FEDIPubKey";
inline constexpr const char* kTaiOnePrivateKey = "FEDIPriKey";
// taiOneUserData returns the 152-byte record: SID2 at 0, SID1 at 36, each followed by blanks,
// and the serial number's 8 bytes at 72.
Bytes taiOneUserData(std::string_view sid2, std::string_view sid1,
                     const std::array<std::uint8_t, 8>& serial);
void layOutTaiOne(SoftHsm& hsm, const Bytes& userData);

// ZRML: a key pair and an X.509 certificate of its public key; the certificate and the
// private key share the label, the public key is labelled label + kZrmlPublicSuffix.
inline constexpr const char* kZrmlPublicSuffix = " public";
struct ZrmlCard {
  std::string label;
  std::string commonName;          // subject CN, UTF-8, written as a BMPString
  std::string issuerOrganisation;  // issuer O, UTF-8, written as a UTF8String
  long serial = 0;
};
void layOutZrml(SoftHsm& hsm, const ZrmlCard& card);

using KeyPtr = Ptr<EVP_PKEY>;

// tokenPublicKey reads the modulus and exponent of the public key labelled label from the
// token and makes an OpenSSL key of them; null (after a test failure) when it can't.
KeyPtr tokenPublicKey(SoftHsm& hsm, std::string_view label);

// digestOf returns the digest of data with md (EVP_md5(), EVP_sha1()).
Bytes digestOf(const EVP_MD* md, std::string_view data);

// verifiesDigest checks a hexadecimal PKCS #1 v1.5 signature over the DigestInfo of digest
// (md names the digest algorithm) with OpenSSL's own RSA verification.
bool verifiesDigest(EVP_PKEY* key, const EVP_MD* md, const Bytes& digest,
                    std::u16string_view hexSignature);

}  // namespace kestrune::testing
