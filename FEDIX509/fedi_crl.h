// The FEDI revocation-list record (FEDICRL) the authority sends in answer to a revocation request
// or a revocation-list query: a type tag and three INTEGERs around a standard X.509 CRL. The
// system carries the list without looking inside it. Coders behave as those of fedi_x509.h:
// null on failure with pos left as it was, and DER input re-encodes to the same bytes.
#pragma once

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/x509.h>

#include <memory>

#include "common/ptr.h"

// SEQUENCE { typeTag printable string "ReVoKeCl", version INTEGER, second INTEGER,
//            third INTEGER, crl CertificateList }
// The tag is read from any printable-family type and not compared; second and third are
// carried, not interpreted. Not reference-counted: the record owns its five fields.
struct FEDICRL {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* second;
  ASN1_INTEGER* third;
  X509_CRL* crl;
};

// FEDICRL_new returns a record with tag PrintableString "ReVoKeCl", version 0, two empty
// INTEGERs and an empty X509_CRL, or null on memory exhaustion (an error entry is recorded).
// FEDICRL_free accepts null.
DECLARE_ASN1_FUNCTIONS(FEDICRL)

namespace kestrune {

KESTRUNE_FREE(FEDICRL, FEDICRL_free);

namespace fedi {
using CrlPtr = Ptr<FEDICRL>;
}  // namespace fedi

}  // namespace kestrune
