// The labels of the objects that Kestrune keeps on a token, and of the key pairs whose
// presence tells a token's layout. Every layer that names a token object takes it from here.
#pragma once

#include <string_view>

namespace kestrune::token {

// Data objects, all public.
inline constexpr std::string_view kSid1Label = "EOISID1";        // the user's identifier, Big5 text
inline constexpr std::string_view kSid2Label = "EOISID2";        // the organisation's identifier
inline constexpr std::string_view kUserCertLabel = "EOICert";    // the current certificate bag
inline constexpr std::string_view kNewCertLabel = "EOICertNew";  // a renewal not yet in force
inline constexpr std::string_view kCaCertLabel = "EOICAert";     // the CA's certificate bag
inline constexpr std::string_view kCardSerialLabel = "EOICARDSN";  // the card serial number

// The key pair that makeCard generates: it marks a Linkway token.
inline constexpr std::string_view kLinkwayPublicKeyLabel = "FEDICA.pubkey";
inline constexpr std::string_view kLinkwayPrivateKeyLabel = "FEDICA.prikey";
// The key pairs that the issuers of SafeNet and TaiOne tokens write.
inline constexpr std::string_view kSafeNetPublicKeyLabel = "A FEDI RSA Public Key";
inline constexpr std::string_view kSafeNetPrivateKeyLabel = "A FEDI RSA PRIVATE Key";
inline constexpr std::string_view kTaiOnePublicKeyLabel = "FEDIPubKey";
inline constexpr std::string_view kTaiOnePrivateKeyLabel = "FEDIPriKey";
// The TaiOne issuer's private record of SID2, SID1 and the card serial number.
inline constexpr std::string_view kTaiOneUserDataLabel = "UserData";

}  // namespace kestrune::token
