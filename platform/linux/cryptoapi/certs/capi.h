// The private header of the certificate side of the CryptoAPI stand-in. Include OpenSSL's
// headers before this one: wincrypt's structure-type macros X509_NAME and PKCS7_SIGNER_INFO
// would hide OpenSSL's types of the same names, so they are undefined here and compared
// against the constants below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/cryptoapi.h"

#undef X509_NAME
#undef PKCS7_SIGNER_INFO

namespace kestrune::cryptoapi {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Structure types of CryptEncodeObject / CryptDecodeObject and store providers, as wincrypt
// numbers them.
inline const LPCSTR kX509Name = reinterpret_cast<LPCSTR>(7);
inline const LPCSTR kX509PublicKeyInfo = reinterpret_cast<LPCSTR>(8);
inline const LPCSTR kPkcs7SignerInfo = reinterpret_cast<LPCSTR>(500);

// Error codes CryptoAPI reports that the public header has no use for.
inline constexpr DWORD kInvalidArg = 0x80070057;      // E_INVALIDARG
inline constexpr DWORD kAsn1Eod = 0x80093102;         // CRYPT_E_ASN1_EOD
inline constexpr DWORD kNoMatch = 0x80092009;         // CRYPT_E_NO_MATCH
inline constexpr DWORD kMsgError = 0x80091001;        // CRYPT_E_MSG_ERROR
inline constexpr DWORD kStreamNotReady = 0x80091010;  // CRYPT_E_STREAM_MSG_NOT_READY
inline constexpr DWORD kFileExists = 80;              // ERROR_FILE_EXISTS
inline constexpr DWORD kCertPropId = 32;              // a certificate element of a saved store

// The certificate side keeps its state (reference counts, store lists) under one lock;
// CryptoAPI callers may share contexts between threads.
std::recursive_mutex& stateLock();

// fail sets the thread's last error and returns FALSE, for one-line failure paths.
inline BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// copyOut delivers bytes as CryptoAPI's size-first calls do: a null buffer asks for the size
// (TRUE); a smaller buffer fails with ERROR_MORE_DATA, reporting the size needed.
inline BOOL copyOut(ByteView bytes, void* out, DWORD* length) {
  if (length == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (bytes.size() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY);
  const auto needed = static_cast<DWORD>(bytes.size());
  if (out == nullptr) {
    *length = needed;
    return TRUE;
  }
  if (*length < needed) {
    *length = needed;
    return fail(ERROR_MORE_DATA);
  }
  if (needed != 0) std::memcpy(out, bytes.data(), needed);
  *length = needed;
  return TRUE;
}

// hasX509Encoding: the certificate half of an encoding type must be X509_ASN_ENCODING.
inline bool hasX509Encoding(DWORD encodingType) {
  return (encodingType & 0xFFFF) == X509_ASN_ENCODING;
}

// Wide text (UTF-32 here) and UTF-8.
std::string utf8Of(std::wstring_view wide);
bool wideOfUtf8(std::string_view text, std::wstring& wide);
// decodeUtf8 appends the characters of UTF-8 text to wide, each malformed part (a stray or
// missing continuation byte, an overlong form, a surrogate, a code point past U+10FFFF) as one
// U+FFFD, as Unicode recommends; it returns whether the text was well-formed.
bool decodeUtf8(std::string_view text, std::wstring& wide);

}  // namespace kestrune::cryptoapi
