// The FEDI records: the FEDI certificate (FEDI_X509), the certificate bag (FEDICERT) and the
// authority's public-key record (FEDI_CAPUBKEY), with their DER coders.
//
// FEDI certificates look like X.509 ones but the version is a bare INTEGER, validity times may
// be all nines ("never expires") and the subject public key info names a signature algorithm
// (md5WithRSAEncryption) instead of a key algorithm. The records are OpenSSL ASN.1 structures:
// every field is an OpenSSL object owned by the record, and the coders follow OpenSSL's style:
//   d2i_T(out, &pos, len) returns the record (stored in *out too when out is given; an existing
//     *out is filled in place) and advances pos past it, or null on failure, leaving pos and
//     any *out as they were;
//   i2d_T(rec, &pos) writes at pos and advances it; with a null pos it returns the length only;
//     with a null *pos it allocates the buffer (OPENSSL_free) as OpenSSL's i2d do;
//     a null record encodes to 0; failure is -1.
// Re-encoding a decoded record reproduces DER input byte for byte: names keep their received
// encoding, times their type and text, BIT STRINGs their unused-bits count.
//
// Records are not shared between threads; reference counts use OpenSSL's locked counters and
// start at 1. Every _free accepts null.
#pragma once

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <memory>

#include "common/ptr.h"

// FEDI time: an ASN1_TIME whose type is V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME. A UTCTime
// follows the FEDI rule of FEDI_ASN1_UTCTIME_check; a GeneralizedTime OpenSSL's own rule.
using FEDI_TIME = ASN1_TIME;

// Validity ::= SEQUENCE { notBefore FEDI time, notAfter FEDI time }
struct FEDI_X509_VAL {
  ASN1_TIME* notBefore;
  ASN1_TIME* notAfter;
};

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
// The algorithm names a signature algorithm and the BIT STRING holds a PKCS#1 RSAPublicKey.
// pkey caches the decoded key; it is made on demand by FEDI_X509_PUBKEY_get, never by d2i.
struct FEDI_X509_PUBKEY {
  X509_ALGOR* algor;
  ASN1_BIT_STRING* public_key;
  EVP_PKEY* pkey;  // cache; cleared whenever the record is decoded again
};

// Certificate body:
// SEQUENCE { version INTEGER, serialNumber INTEGER, signature AlgorithmIdentifier,
//            issuer Name, validity Validity, subject Name,
//            subjectPublicKeyInfo SubjectPublicKeyInfo }
// No [0] EXPLICIT version, no unique identifiers, no extensions.
struct FEDI_X509_CINF {
  ASN1_INTEGER* version;
  ASN1_INTEGER* serialNumber;
  X509_ALGOR* signature;
  X509_NAME* issuer;  // entry 0 CASID2 (O), entry 1 CASID1 (CN)
  FEDI_X509_VAL* validity;
  X509_NAME* subject;  // entry 0 SID2 (O), entry 1 SID1 (CN)
  FEDI_X509_PUBKEY* key;
};

// Certificate ::= SEQUENCE { body, signatureAlgorithm AlgorithmIdentifier, signature BIT STRING }
struct FEDI_X509 {
  FEDI_X509_CINF* cert_info;
  X509_ALGOR* sig_alg;
  ASN1_BIT_STRING* signature;
  int references;       // OpenSSL's counter; change it only through up_ref / free
  CRYPTO_RWLOCK* lock;  // guards references
  char* name;           // one-line text of the subject, filled in by d2i (null on a built record)
  long ex_pathlen;      // path length cache, -1
};

DEFINE_STACK_OF(FEDI_X509)

// The certificate list of a bag: the certificates in order (the list owns one reference to
// each), and the cached DER of the list, valid only while modified is 0. Change it only
// through FEDICERT_push_cert: every path that may change a certificate sets modified.
struct FEDI_CERT_LIST {
  STACK_OF(FEDI_X509) * certs;
  int modified;
  unsigned char* der;
  int der_length;
};

// Certificate bag:
// SEQUENCE { typeTag printable string "CeRtIfIc", version INTEGER, type INTEGER,
//            time FEDI time, count INTEGER, certificates SEQUENCE OF Certificate }
struct FEDICERT {
  ASN1_STRING* typeTag;  // any type of OpenSSL's printable-string family; not compared
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  ASN1_TIME* time;
  ASN1_INTEGER* count;
  FEDI_CERT_LIST* certificates;
  int references;
  CRYPTO_RWLOCK* lock;
};

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
// pkey caches the key made by FEDI_CAPUBKEY_get_pkey; it is cleared when the record is decoded.
struct FEDI_RSAPUBKEY {
  ASN1_INTEGER* modulus;
  ASN1_INTEGER* publicExponent;
  EVP_PKEY* pkey;
};

// SEQUENCE { typeTag printable string "CaPrIpUb", version INTEGER,
//            algorithm AlgorithmIdentifier, name Name (O, CN), time FEDI time,
//            key RSAPublicKey }
struct FEDI_CAPUBKEY_INFO {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  X509_ALGOR* algorithm;
  X509_NAME* name;
  ASN1_TIME* time;
  FEDI_RSAPUBKEY* key;
};

// CA public-key record:
// SEQUENCE { body FEDI_CAPUBKEY_INFO, algorithm AlgorithmIdentifier, signature OCTET STRING }
// The signature is carried, not verified.
struct FEDI_CAPUBKEY {
  FEDI_CAPUBKEY_INFO* body;
  X509_ALGOR* algorithm;
  ASN1_OCTET_STRING* signature;
  int references;
  CRYPTO_RWLOCK* lock;
};

// Constructors (null on memory exhaustion), release, d2i, i2d, and the ASN1_ITEM of each
// record (T_it()), for OpenSSL's generic ASN1_item_* calls.
DECLARE_ASN1_FUNCTIONS(FEDI_X509)
DECLARE_ASN1_FUNCTIONS(FEDI_X509_CINF)
DECLARE_ASN1_FUNCTIONS(FEDI_X509_VAL)
DECLARE_ASN1_FUNCTIONS(FEDI_X509_PUBKEY)
DECLARE_ASN1_FUNCTIONS(FEDICERT)
DECLARE_ASN1_FUNCTIONS(FEDI_CAPUBKEY)
DECLARE_ASN1_FUNCTIONS(FEDI_CAPUBKEY_INFO)
DECLARE_ASN1_FUNCTIONS(FEDI_RSAPUBKEY)

// FEDI time coders. d2i_FEDI_ASN1_TIME looks at the tag (constructed bit ignored): UTCTime goes
// to d2i_FEDI_ASN1_UTCTIME, GeneralizedTime to OpenSSL's decoder and syntax check, anything
// else fails. i2d_FEDI_ASN1_TIME returns -1 for a time of any other type.
ASN1_TIME* d2i_FEDI_ASN1_TIME(ASN1_TIME** out, const unsigned char** pos, long len);
int i2d_FEDI_ASN1_TIME(const ASN1_TIME* time, unsigned char** pos);
// d2i_FEDI_ASN1_UTCTIME reads a primitive or constructed UTCTime and applies
// FEDI_ASN1_UTCTIME_check; a value that fails the check is freed (unless it is *out) and null
// is returned.
ASN1_UTCTIME* d2i_FEDI_ASN1_UTCTIME(ASN1_UTCTIME** out, const unsigned char** pos, long len);
// FEDI_ASN1_UTCTIME_check returns 1 when time is a UTCTime of OpenSSL's syntax or one of at
// least 11 characters beginning with six '9' (never expires), else 0.
int FEDI_ASN1_UTCTIME_check(const ASN1_UTCTIME* time);

// Reference counts: each returns 1 on success, 0 on failure (null record).
int FEDI_X509_up_ref(FEDI_X509* cert);
int FEDICERT_up_ref(FEDICERT* bag);
int FEDI_CAPUBKEY_up_ref(FEDI_CAPUBKEY* record);

// Certificate accessors, of the meaning of OpenSSL's X509_* ones. The get_ accessors return
// the record's own objects (not copies; null when the body is missing); the set_ ones copy
// their argument and return 1, or 0 on failure.
long FEDI_X509_get_version(const FEDI_X509* cert);  // -1 when absent
int FEDI_X509_set_version(FEDI_X509* cert, long version);
ASN1_INTEGER* FEDI_X509_get_serialNumber(FEDI_X509* cert);
int FEDI_X509_set_serialNumber(FEDI_X509* cert, const ASN1_INTEGER* serial);
X509_NAME* FEDI_X509_get_issuer_name(const FEDI_X509* cert);
int FEDI_X509_set_issuer_name(FEDI_X509* cert, const X509_NAME* name);
X509_NAME* FEDI_X509_get_subject_name(const FEDI_X509* cert);
int FEDI_X509_set_subject_name(FEDI_X509* cert, const X509_NAME* name);
// Null when the certificate has no validity or no such time.
ASN1_TIME* FEDI_X509_get_notBefore(const FEDI_X509* cert);
ASN1_TIME* FEDI_X509_get_notAfter(const FEDI_X509* cert);
// The time must be a UTCTime or a GeneralizedTime (else 0).
int FEDI_X509_set_notBefore(FEDI_X509* cert, const ASN1_TIME* time);
int FEDI_X509_set_notAfter(FEDI_X509* cert, const ASN1_TIME* time);
// The outer signatureAlgorithm and signature; either output may be null.
void FEDI_X509_get0_signature(const ASN1_BIT_STRING** signature, const X509_ALGOR** algorithm,
                              const FEDI_X509* cert);
// NID of the outer signatureAlgorithm's OID; NID_undef when absent or unknown.
int FEDI_X509_get_signature_nid(const FEDI_X509* cert);
FEDI_X509_PUBKEY* FEDI_X509_get_X509_PUBKEY(const FEDI_X509* cert);
// The subject's one-line text as decoded, or null.
const char* FEDI_X509_get_oneline_name(const FEDI_X509* cert);

// FEDI_X509_PUBKEY_get returns the key of spki with a new reference the caller frees with
// EVP_PKEY_free, or null: the algorithm's OID must name a digest algorithm (the digest
// registered under the OID's short name) and the BIT STRING must decode as a key of that
// digest's required key type. An rsaEncryption OID therefore yields null.
EVP_PKEY* FEDI_X509_PUBKEY_get(FEDI_X509_PUBKEY* spki);
// FEDI_X509_PUBKEY_set_rsa fills spki with the signature algorithm algorithmNid (parameters
// NULL) and the PKCS#1 RSAPublicKey of key in a BIT STRING with 0 unused bits; 1, or 0.
int FEDI_X509_PUBKEY_set_rsa(FEDI_X509_PUBKEY* spki, int algorithmNid, EVP_PKEY* key);
// FEDI_X509_get_pubkey: FEDI_X509_PUBKEY_get of the certificate's key; null for a null
// certificate or body.
EVP_PKEY* FEDI_X509_get_pubkey(FEDI_X509* cert);

// FEDI_X509_verify returns 1 when the signature verifies with key over the DER of the body
// (re-encoded by i2d_FEDI_X509_CINF), 0 when it does not, -1 on an internal failure (null
// argument, unknown algorithm, encoding failure).
int FEDI_X509_verify(FEDI_X509* cert, EVP_PKEY* key);
// FEDI_X509_sign sets the body's and the outer signature algorithm to key's signature algorithm
// with md (md5WithRSAEncryption for EVP_md5() and an RSA key; parameters NULL), signs the DER of
// the body and stores the signature (0 unused bits). Returns the signature length, or 0.
int FEDI_X509_sign(FEDI_X509* cert, EVP_PKEY* key, const EVP_MD* md);

// Certificate bag. FEDICERT_new gives typeTag PrintableString "CeRtIfIc", version 0, empty type
// and count INTEGERs, an empty UTCTime and an empty list (modified).
int FEDICERT_get_num(const FEDICERT* bag);  // 0 for a null bag
// FEDICERT_get_cert returns certificate index with one more reference (free it with
// FEDI_X509_free), or null for a null bag or an index outside 0..num-1. The caller may change
// the certificate, so the bag's cached DER is dropped.
FEDI_X509* FEDICERT_get_cert(FEDICERT* bag, int index);
// FEDICERT_push_cert appends cert; on success (1) the bag takes over the caller's reference, on
// failure (0) the caller keeps it.
int FEDICERT_push_cert(FEDICERT* bag, FEDI_X509* cert);
int FEDICERT_set_version(FEDICERT* bag, long version);
int FEDICERT_set_type(FEDICERT* bag, long type);
int FEDICERT_set_count(FEDICERT* bag, long count);
// The time is copied; it must be a UTCTime or a GeneralizedTime (else 0).
int FEDICERT_set_time(FEDICERT* bag, const ASN1_TIME* time);
// FEDICERT_set_typeTag replaces the tag with a PrintableString of text.
int FEDICERT_set_typeTag(FEDICERT* bag, const char* text);

// FEDI_CAPUBKEY_get_pkey returns the record's RSA key (made once from the modulus and exponent
// and cached in the record) with one more reference that the caller frees with EVP_PKEY_free;
// null for a null record, body or key.
EVP_PKEY* FEDI_CAPUBKEY_get_pkey(FEDI_CAPUBKEY* record);

// Owners for C++ callers: Ptr<T> with the records' free functions.
namespace kestrune {

KESTRUNE_FREE(FEDI_X509, FEDI_X509_free);
KESTRUNE_FREE(FEDI_X509_CINF, FEDI_X509_CINF_free);
KESTRUNE_FREE(FEDI_X509_VAL, FEDI_X509_VAL_free);
KESTRUNE_FREE(FEDI_X509_PUBKEY, FEDI_X509_PUBKEY_free);
KESTRUNE_FREE(FEDICERT, FEDICERT_free);
KESTRUNE_FREE(FEDI_CAPUBKEY, FEDI_CAPUBKEY_free);
KESTRUNE_FREE(FEDI_CAPUBKEY_INFO, FEDI_CAPUBKEY_INFO_free);
KESTRUNE_FREE(FEDI_RSAPUBKEY, FEDI_RSAPUBKEY_free);

namespace fedi {
// RecordPtr is the name the record's callers use for their owner.
template <class T>
using RecordPtr = Ptr<T>;
}  // namespace fedi

}  // namespace kestrune
