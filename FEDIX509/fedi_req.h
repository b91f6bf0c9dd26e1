// The FEDI certificate requests: new certificate (FEDIREQ, "CeRt_ReQ"), extension (FEDIEXT,
// "CeRt_eXt") and revocation (FEDIREV, "CeRt_rEv"), their DER coders and the 4-byte DES
// CBC-MAC of a new-certificate request. Signing them on the token: fedi_req_sign.h.
//
// Coders follow the conventions of fedi_x509.h. Signatures and the MAC are written with all
// their bytes and 0 unused bits; a decoded BIT STRING keeps the unused-bits count it came
// with, so a received request re-encodes byte for byte.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "FEDIX509/fedi_x509.h"

// FEDIREQ ::= SEQUENCE { typeTag printable string "CeRt_ReQ", version INTEGER,
//                        request CertificationRequest (PKCS#10),
//                        macAlgorithm AlgorithmIdentifier, mac BIT STRING }
// The PKCS#10 body carries no attributes field at all.
struct FEDIREQ {
  ASN1_STRING* typeTag;  // any type of the printable-string family when decoded
  ASN1_INTEGER* version;
  X509_REQ* request;
  X509_ALGOR* macAlgorithm;
  ASN1_BIT_STRING* mac;
  int references;
  CRYPTO_RWLOCK* lock;
};

// FEDIEXT_INFO ::= SEQUENCE { version INTEGER, type INTEGER, signature AlgorithmIdentifier,
//                             issuer Name, serialNumber INTEGER }
struct FEDIEXT_INFO {
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  X509_ALGOR* signature;
  X509_NAME* issuer;
  ASN1_INTEGER* serialNumber;
};

// FEDIEXT_SIGNED ::= SEQUENCE { body FEDIEXT_INFO, signatureAlgorithm AlgorithmIdentifier,
//                               signature BIT STRING }
struct FEDIEXT_SIGNED {
  FEDIEXT_INFO* body;
  X509_ALGOR* signatureAlgorithm;
  ASN1_BIT_STRING* signature;
};

// FEDIEXT ::= SEQUENCE { typeTag PrintableString "CeRt_eXt", version INTEGER,
//                        signed FEDIEXT_SIGNED }
struct FEDIEXT {
  ASN1_STRING* typeTag;  // decoded only from a PrintableString; always encoded as one
  ASN1_INTEGER* version;
  FEDIEXT_SIGNED* signedPart;
};

// FEDIREV_INFO ::= SEQUENCE { version INTEGER, type INTEGER, signature AlgorithmIdentifier,
//                             issuer Name, serialNumber [0] IMPLICIT INTEGER OPTIONAL,
//                             subject [1] IMPLICIT Name OPTIONAL, reason OCTET STRING,
//                             serialNumber2 INTEGER }
struct FEDIREV_INFO {
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  X509_ALGOR* signature;
  X509_NAME* issuer;
  ASN1_INTEGER* serialNumber;  // null when absent
  X509_NAME* subject;          // null when absent
  ASN1_OCTET_STRING* reason;
  ASN1_INTEGER* serialNumber2;
};

// FEDIREV_SIGNED ::= SEQUENCE { body FEDIREV_INFO, signatureAlgorithm AlgorithmIdentifier,
//                               signature BIT STRING }
struct FEDIREV_SIGNED {
  FEDIREV_INFO* body;
  X509_ALGOR* signatureAlgorithm;
  ASN1_BIT_STRING* signature;
};

// FEDIREV ::= SEQUENCE { typeTag PrintableString "CeRt_rEv", version INTEGER,
//                        signed FEDIREV_SIGNED }
struct FEDIREV {
  ASN1_STRING* typeTag;  // decoded only from a PrintableString; always encoded as one
  ASN1_INTEGER* version;
  FEDIREV_SIGNED* signedPart;
};

// Constructors (null on memory exhaustion), release, d2i, i2d and the ASN1_ITEM of each record.
// FEDIREQ_new: tag "CeRt_ReQ", version 0, a PKCS#10 request without attributes field, MAC
// algorithm OID 0.0 with NULL parameters, empty MAC; reference count 1. FEDIEXT_new / FEDIREV_new:
// their tag, version 0 and a body of version 0 and type 2 (extension) or 4 (revocation), optional
// fields absent, both algorithm identifiers md5WithRSAEncryption with NULL parameters.
DECLARE_ASN1_FUNCTIONS(FEDIREQ)
DECLARE_ASN1_FUNCTIONS(FEDIEXT)
DECLARE_ASN1_FUNCTIONS(FEDIEXT_SIGNED)
DECLARE_ASN1_FUNCTIONS(FEDIEXT_INFO)
DECLARE_ASN1_FUNCTIONS(FEDIREV)
DECLARE_ASN1_FUNCTIONS(FEDIREV_SIGNED)
DECLARE_ASN1_FUNCTIONS(FEDIREV_INFO)

int FEDIREQ_up_ref(FEDIREQ* req);  // 1, or 0 for a null request

// The PKCS#10 body keeps the DER it was decoded from until it is marked changed: change its
// subject with X509_REQ_set_subject_name (or call i2d_re_X509_REQ_tbs after editing it in
// place); FEDIREQ_set_rsa_pubkey and FEDIREQ_sign mark it themselves.
// FEDIREQ_set_rsa_pubkey puts the PKCS#1 RSAPublicKey of key in the PKCS#10 subject public key
// info under md5WithRSAEncryption with NULL parameters (0 unused bits); 1, or 0.
int FEDIREQ_set_rsa_pubkey(FEDIREQ* req, EVP_PKEY* key);
// FEDIREQ_get_pubkey returns the key of the PKCS#10 subject public key info (read as
// FEDI_X509_PUBKEY_get does) with a reference the caller frees, or null.
EVP_PKEY* FEDIREQ_get_pubkey(FEDIREQ* req);
// FEDIREQ_verify returns 1 when the PKCS#10 signature verifies with the request's own key and
// FEDI_req_mac under pass equals the stored MAC's first 4 bytes; 0 otherwise.
int FEDIREQ_verify(FEDIREQ* req, const unsigned char* pass, std::size_t passLen);

// FEDIREQ_verify_signature → 1 when the PKCS#10 signature verifies with the request's own key,
// as FEDIREQ_verify checks it (without the MAC); 0 otherwise.
int FEDIREQ_verify_signature(FEDIREQ* req);

// FEDI_req_mac writes to out the 4-byte CBC-MAC (ISO/IEC 9797-1 algorithm 1, DES, zero
// padding) of the DER of request under the key MD5("CeRt_ReQ" || pass)[0..8). A null pass
// counts as empty. Returns 1, or 0 (null argument, pass longer than 4,240 bytes, encoding or
// cipher failure; out is then untouched).
int FEDI_req_mac(X509_REQ* request, const unsigned char* pass, std::size_t passLen,
                 unsigned char out[4]);

// FEDI_digest_info digests data with digest and writes the DER DigestInfo
// SEQUENCE { AlgorithmIdentifier { digest OID, NULL }, OCTET STRING digest } to out (outLen
// bytes available; OpenSSL's EVP_MAX_MD_SIZE + 32 always suffice). Returns its length, or 0
// when the digest has no OID, a buffer is too small or a library call fails.
int FEDI_digest_info(const unsigned char* data, std::size_t len, unsigned char* out,
                     std::size_t outLen, const EVP_MD* digest);

namespace kestrune::fedi {

// setFullBitString replaces the content of bits by len bytes of data, all written with 0
// unused bits (OpenSSL's default would drop trailing zero octets); 1, or 0.
int setFullBitString(ASN1_BIT_STRING* bits, const unsigned char* data, int len);

// setRsaPublicKey does what FEDIREQ_set_rsa_pubkey does, from the key's modulus and exponent
// (for a caller that holds the numbers rather than a key); 1, or 0.
int setRsaPublicKey(FEDIREQ* req, const BIGNUM* modulus, const BIGNUM* exponent);

// requestMac is FEDI_req_mac over derLen bytes at der, the DER of a PKCS#10 request already
// encoded by the caller; 1, or 0.
int requestMac(const unsigned char* der, std::size_t derLen, const unsigned char* pass,
               std::size_t passLen, unsigned char out[4]);

// setMacAlgorithm sets the request's MAC algorithm to OID 0.0 with NULL parameters; 1, or 0.
int setMacAlgorithm(FEDIREQ* req);

// paddedBits returns the octets of a signature BIT STRING, padded with zero octets to the size
// of key's signatures when the writer dropped trailing zero octets (as a BIT STRING written
// byte-wise does); the octets as they are without a key.
std::vector<unsigned char> paddedBits(const ASN1_BIT_STRING* bits, const EVP_PKEY* key);

template <class T>
using RequestPtr = Ptr<T>;

}  // namespace kestrune::fedi

namespace kestrune {
KESTRUNE_FREE(FEDIREQ, FEDIREQ_free);
KESTRUNE_FREE(FEDIEXT, FEDIEXT_free);
KESTRUNE_FREE(FEDIEXT_SIGNED, FEDIEXT_SIGNED_free);
KESTRUNE_FREE(FEDIEXT_INFO, FEDIEXT_INFO_free);
KESTRUNE_FREE(FEDIREV, FEDIREV_free);
KESTRUNE_FREE(FEDIREV_SIGNED, FEDIREV_SIGNED_free);
KESTRUNE_FREE(FEDIREV_INFO, FEDIREV_INFO_free);
}  // namespace kestrune
