// Certificate body:
// SEQUENCE { version INTEGER, serialNumber INTEGER, signature AlgorithmIdentifier,
//            issuer Name, validity Validity, subject Name,
//            subjectPublicKeyInfo SubjectPublicKeyInfo }
// The version is a bare INTEGER (an [0] EXPLICIT one is refused by its tag), and the sequence
// ends with the key: unique identifiers or extensions are trailing fields and are refused.
#include "FEDIX509/fedi_internal.h"

// clang-format off
ASN1_SEQUENCE(FEDI_X509_CINF) = {
    ASN1_SIMPLE(FEDI_X509_CINF, version, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_X509_CINF, serialNumber, ASN1_INTEGER),
    ASN1_SIMPLE(FEDI_X509_CINF, signature, X509_ALGOR),
    ASN1_SIMPLE(FEDI_X509_CINF, issuer, X509_NAME),
    ASN1_SIMPLE(FEDI_X509_CINF, validity, FEDI_X509_VAL),
    ASN1_SIMPLE(FEDI_X509_CINF, subject, X509_NAME),
    ASN1_SIMPLE(FEDI_X509_CINF, key, FEDI_X509_PUBKEY),
} ASN1_SEQUENCE_END(FEDI_X509_CINF)
// clang-format on

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_X509_CINF)
KESTRUNE_FEDI_CODERS(FEDI_X509_CINF)
