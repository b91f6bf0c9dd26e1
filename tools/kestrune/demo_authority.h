// The authority's part of the demo, done in the host until the demo talks to a real authority:
// the test authority's own certificate bag and a user certificate for the token's key, both
// signed with the test authority's key (demo_ca_key.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ca/issuing.h"

namespace kestrune::host {

inline constexpr const char* kDemoUserId = "U001";  // SID1, the subject's CN
inline constexpr const char* kDemoOrgId = "ORG01";  // SID2, the subject's O
inline constexpr std::uint64_t kDemoSerial = 1234567890;
inline constexpr std::int64_t kDemoUserValidity = 365 * 24 * 3600;
inline constexpr std::int64_t kDemoCaValidity = 10 * kDemoUserValidity;

// An issued certificate in the bag that carries it, and the bag's DER.
struct IssuedBag {
  ca::CertificatePtr certificate;
  ca::BagPtr bag;
  std::vector<std::uint8_t> der;
};

// loadDemoAuthorityKey returns the test authority's private key from the key built into the
// host, or null with the reason in why.
ca::KeyPtr loadDemoAuthorityKey(std::string& why);

// issueDemoCaBag issues the authority's own certificate (issuer = subject = its CASIDs, its
// public key, serial 1), valid from `from` for kDemoCaValidity, in a bag of its own. Returns
// false with the reason in why.
bool issueDemoCaBag(EVP_PKEY* authorityKey, std::int64_t from, IssuedBag& issued, std::string& why);

// issueDemoUserBag issues the user's certificate for the token's key (subject ORG01 / U001,
// serial kDemoSerial), valid from `from` for kDemoUserValidity, in a bag of its own. Returns
// false with the reason in why.
bool issueDemoUserBag(EVP_PKEY* authorityKey, const ca::RsaPublicParts& tokenKey, std::int64_t from,
                      IssuedBag& issued, std::string& why);

}  // namespace kestrune::host
