// The cryptographic library's set-up that the FEDI records rely on: single DES and triple
// DES in CBC mode and MD5, found by name.
#pragma once

namespace kestrune::control {

// registerCryptoOnce loads OpenSSL's "legacy" provider (single DES lives there) and its
// "default" provider, and adds DES-CBC, DES-EDE3-CBC and MD5 to the name tables. Only the
// first call in the process does the work; every call returns whether it succeeded.
bool registerCryptoOnce() noexcept;

}  // namespace kestrune::control
