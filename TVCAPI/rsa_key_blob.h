// RSA keys between CryptoAPI's key blobs and PKCS#1 DER, without a provider:
//   PRIVATEKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA2", bit length b, public exponent), then with
//     n = b / 8, little-endian: modulus (n), prime1, prime2, exponent1, exponent2,
//     coefficient (n/2 each), privateExponent (n); 20 + 9n/2 bytes.
//   PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA1"), modulus (n) little-endian; 20 + n bytes.
//   RSAPrivateKey ::= SEQUENCE { version INTEGER, modulus INTEGER, publicExponent INTEGER,
//     privateExponent INTEGER, prime1 INTEGER, prime2 INTEGER, exponent1 INTEGER,
//     exponent2 INTEGER, coefficient INTEGER }
//   RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kKeyBlobHeader = 20;
inline constexpr std::size_t kMaxModulusBytes = 2048;  // 16384 bits

// tvxCAPIPrivateBlobToDer returns the size of the RSAPrivateKey of a private key blob and
// writes it when der is non-null and capacity holds it; -1 for a malformed blob.
std::int32_t tvxCAPIPrivateBlobToDer(const std::uint8_t* blob, std::size_t blobLength,
                                     std::uint8_t* der, std::size_t capacity);
// tvxCAPIPublicBlobToDer does the same for the RSAPublicKey of a public key blob.
std::int32_t tvxCAPIPublicBlobToDer(const std::uint8_t* blob, std::size_t blobLength,
                                    std::uint8_t* der, std::size_t capacity);

// tvxCAPIDerToPrivateBlob builds the key-exchange PRIVATEKEYBLOB of an RSAPrivateKey into new
// memory (the caller wipes and frees it); false for DER that isn't one, with a component
// negative or too long for its field, or when memory runs out.
bool tvxCAPIDerToPrivateBlob(const std::uint8_t* der, std::size_t length, std::uint8_t** blob,
                             std::size_t* blobLength);
// tvxCAPIDerToPublicBlob builds the key-exchange PUBLICKEYBLOB of an RSAPublicKey.
bool tvxCAPIDerToPublicBlob(const std::uint8_t* der, std::size_t length, std::uint8_t** blob,
                            std::size_t* blobLength);
