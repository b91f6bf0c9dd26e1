// The identity and signing operations that several methods share: the card serial number,
// the holder's identifiers, and a signature by the token's key. Included only by the
// control's own sources.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "control/control_state.h"

namespace kestrune::control {

// readCsn sets csn to the card serial number of a token of the given type (detectKeyType's
// answer), connecting first if needed, and returns 0 or the failure's code: 12 for a
// missing or malformed record, 10007 for a TaiOne token before checkPassword, 10001 for an
// undecodable certificate, the codes of loadUserCertificate and 10002 for a Linkway token.
std::int32_t readCsn(ControlState& state, std::int32_t type, std::string& csn);
// readSid makes sure sid1Cache (which 1) or sid2Cache (which 2) holds the identifier of a
// token of the given type and returns 0, or the failure's code with the cache left empty.
// A cache already set is kept without reading the token.
std::int32_t readSid(ControlState& state, int which, std::int32_t type);
// signDigest signs data with the key named by keyLabel: the MD5 DigestInfo (SHA-1 for
// keyType 3) of data, or of data as the digest itself when hashFirst is false. It returns
// the signature as upper-case hexadecimal with lastErrorCode 0, or nullopt with 10007
// before checkPassword, 4 for a digest of the wrong length, 10010 when the key can't be
// described, 1003 when the token doesn't sign.
std::optional<std::string> signDigest(ControlState& state, std::span<const std::uint8_t> data,
                                      bool hashFirst, std::int32_t keyType);

}  // namespace kestrune::control
