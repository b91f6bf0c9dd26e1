// The token writes and reads that the identity methods share: replacing a text object by
// label, and the records that token issuers lay out (TaiOne "UserData", the ZRML certificate).
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/ptr.h"
#include "token/token.h"

namespace kestrune::control {

// deleteIfPresent deletes the one object labelled label and returns 0; also 0 when no single
// object has the label (nothing to delete); 1514 when it exists but can't be deleted.
std::int32_t deleteIfPresent(token::TokenSession* session, std::string_view label);

// writeText creates the data object label holding text (stored with its terminating zero)
// and returns 0; 1516 when the token's memory is full, 11 for any other failure.
std::int32_t writeText(token::TokenSession* session, std::string_view label, std::string_view text);

// textOf returns the text that a stored value holds: its bytes up to the first zero byte.
std::string textOf(std::span<const std::uint8_t> value);

// TaiOne tokens keep their identifiers in one private record of exactly this length.
inline constexpr std::size_t kUserDataLength = 152;
// readUserData returns 0 and the "UserData" record; 12 when it can't be read or its length
// isn't kUserDataLength. The caller sets private objects to 1 first.
std::int32_t readUserData(token::TokenSession* session, token::Bytes& record);

using X509Ptr = Ptr<X509>;

// readX509Object returns 0 and the decoded X.509 certificate object labelled label; 12 when
// it can't be read, 10001 when it doesn't decode. The caller sets private objects to 0.
std::int32_t readX509Object(token::TokenSession* session, std::string_view label,
                            X509Ptr& certificate);

// nameEntryText returns the value of the first entry of name whose short name is shortName,
// as code-page-950 text like every identifier of the control: a BMPString or UTF8String is
// converted from Unicode (a character that Big5 lacks becomes '?'), any other string type is
// taken as its bytes. No value when there is no such entry or the conversion fails.
std::optional<std::string> nameEntryText(const X509_NAME* name, std::string_view shortName);

}  // namespace kestrune::control
