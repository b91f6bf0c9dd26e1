// Validity ::= SEQUENCE { notBefore FEDI time, notAfter FEDI time }
#include "FEDIX509/fedi_internal.h"

// clang-format off
ASN1_SEQUENCE(FEDI_X509_VAL) = {
    ASN1_SIMPLE(FEDI_X509_VAL, notBefore, FEDI_TIME),
    ASN1_SIMPLE(FEDI_X509_VAL, notAfter, FEDI_TIME),
} ASN1_SEQUENCE_END(FEDI_X509_VAL)
    // clang-format on

    IMPLEMENT_ASN1_ALLOC_FUNCTIONS(FEDI_X509_VAL) KESTRUNE_FEDI_CODERS(FEDI_X509_VAL)
