// The CA message: every exchange with the FEDI certification authority is one DER FEDI_MESSAGE
// each way, an envelope around one content record tagged with its content type number.
//
// FEDI_MESSAGE ::= SEQUENCE {
//   version  INTEGER, second INTEGER, created GeneralizedTime,
//   digest   [1] IMPLICIT OCTET STRING OPTIONAL,  -- MD5 of the content DER + 4 zero bytes
//   agent    printable string,
//   content  [2] EXPLICIT [type] EXPLICIT record OPTIONAL }
// The content type lives only in the tag number of the inner wrapper: one byte for 0 to 11
// (A6 for type 6), the high-tag-number form from 31 on (BF 6C for 108, BF 87 67 for 999).
//
// Coders follow fedi_x509.h: d2i_ returns the object (or null, pos unchanged), i2d_ returns the
// length written (0 for null, -1 on failure) with OpenSSL's null-pos and null-*pos forms.
#pragma once

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <memory>

#include "common/ptr.h"

// Content types and the records they carry (the record pointer of FEDI_CONTENT).
enum FediContentType : int {
  FEDI_CONTENT_NONE = -1,     // a holder without content: matches no content type
  FEDI_CT_NEW_CERT_REQ = 0,   // FEDIREQ
  FEDI_CT_NEW_CERT = 1,       // FEDICERT
  FEDI_CT_EXT_REQ = 2,        // FEDIEXT
  FEDI_CT_EXT_CERT = 3,       // FEDICERT
  FEDI_CT_REV_REQ = 4,        // FEDIREV
  FEDI_CT_REV_CRL = 5,        // FEDICRL
  FEDI_CT_GET_CERT = 6,       // FEDI_QUERY with a FEDI_GETCERT_BODY
  FEDI_CT_GET_CERT_ANS = 7,   // FEDICERT
  FEDI_CT_GET_CRL = 8,        // FEDI_QUERY with a FEDI_GETCRL_BODY
  FEDI_CT_GET_CRL_ANS = 9,    // FEDICRL
  FEDI_CT_GET_CAPK = 10,      // FEDI_QUERY with a FEDI_GETCAPK_BODY
  FEDI_CT_GET_CAPK_ANS = 11,  // FEDICERT
  FEDI_CT_OSID_REQ = 100,     // FEDI_OSID_REQ
  FEDI_CT_OSID_RESP = 101,    // FEDI_OSID_RESP
  FEDI_CT_CSID_REQ = 102,     // FEDI_CSID_REQ
  FEDI_CT_CSID_RESP = 103,    // FEDI_CSID_RESP
  FEDI_CT_CCHN_REQ = 108,     // FEDI_CCHN_REQ
  FEDI_CT_CCHN_RESP = 109,    // FEDI_CSID_RESP
  FEDI_CT_STATUS = 999,       // FEDI_STATUS
};

// Content holder. der caches the record's DER made by FEDI_CONTENT_set (for the digest);
// owned is 1 when the holder releases the record (after decoding), 0 when the caller does.
struct FEDI_CONTENT {
  int type;
  unsigned char* der;
  int der_length;
  int owned;
  void* record;
};

// Result codes of FEDI_CONTENT_set and FEDI_MESSAGE_fill.
constexpr int FEDI_MSG_OK = 0;
constexpr int FEDI_MSG_NO_MEMORY = -1;     // a field or buffer cannot be made
constexpr int FEDI_MSG_EMPTY_RECORD = -2;  // the record encodes to nothing
constexpr int FEDI_MSG_NO_CODER = -4;      // the content type has no coder

// FEDI_CONTENT_new returns an empty holder (FEDI_CONTENT_NONE), or null on memory exhaustion.
FEDI_CONTENT* FEDI_CONTENT_new();
// FEDI_CONTENT_free releases the cache and, when owned, the record; accepts null.
void FEDI_CONTENT_free(FEDI_CONTENT* content);
// FEDI_CONTENT_set stores record (still the caller's) under type and caches its DER; returns
// FEDI_MSG_OK, FEDI_MSG_NO_CODER, FEDI_MSG_EMPTY_RECORD or FEDI_MSG_NO_MEMORY. On failure the
// holder is left empty.
int FEDI_CONTENT_set(FEDI_CONTENT* content, int type, void* record);
// i2d_FEDI_CONTENT writes [type] EXPLICIT { record }: the DER FEDI_CONTENT_set cached (what the
// digest covers) when there is one, else the record encoded afresh; 0 without a record.
int i2d_FEDI_CONTENT(const FEDI_CONTENT* content, unsigned char** pos);
// d2i_FEDI_CONTENT reads one [type] EXPLICIT wrapper into a holder that owns the record. No
// bytes, or a first byte that is not context-specific constructed, give an empty holder
// (nothing consumed). An unknown type, a malformed record or bytes left inside the wrapper fail.
FEDI_CONTENT* d2i_FEDI_CONTENT(FEDI_CONTENT** out, const unsigned char** pos, long len);

// Envelope. digest is null when a received message has none; a new one has an empty string.
struct FEDI_MESSAGE {
  ASN1_INTEGER* version;
  ASN1_INTEGER* second;
  ASN1_GENERALIZEDTIME* created;
  ASN1_OCTET_STRING* digest;
  ASN1_STRING* agent;  // PrintableString when sent; any printable-family type received
  FEDI_CONTENT* content;
};

// FEDI_MESSAGE_new returns an envelope with empty fields and an empty holder, or null.
FEDI_MESSAGE* FEDI_MESSAGE_new();
void FEDI_MESSAGE_free(FEDI_MESSAGE* msg);
// FEDI_MESSAGE_fill makes the envelope of a request: version, second, the current UTC time,
// the content (record stays the caller's), its 20-byte digest and the agent text. Returns
// FEDI_MSG_OK or a code of FEDI_CONTENT_set (FEDI_MSG_NO_MEMORY when a field can't be made).
int FEDI_MESSAGE_fill(FEDI_MESSAGE* msg, long version, long second, const char* agent, int type,
                      void* record);
int i2d_FEDI_MESSAGE(const FEDI_MESSAGE* msg, unsigned char** pos);
FEDI_MESSAGE* d2i_FEDI_MESSAGE(FEDI_MESSAGE** out, const unsigned char** pos, long len);

namespace kestrune {

KESTRUNE_FREE(FEDI_MESSAGE, FEDI_MESSAGE_free);
KESTRUNE_FREE(FEDI_CONTENT, FEDI_CONTENT_free);

namespace fedi {
using MessagePtr = Ptr<FEDI_MESSAGE>;
using ContentPtr = Ptr<FEDI_CONTENT>;
}  // namespace fedi

}  // namespace kestrune

// Query bodies. Optional fields are null when absent; they are written with implicit tags:
// GeT_CeRt subject [0] (A0), serialNumber [1] (81), date [2] (82); GeT_CaPk psn [0] (80),
// date [1] (81). A date keeps its own text when written but is always read back as a UTCTime
// under the FEDI check, so a GeneralizedTime date does not survive a round trip.
// FEDI_GETCERT_BODY ::= SEQUENCE { version INTEGER, type INTEGER (6), issuer Name,
//   subject [0] IMPLICIT Name OPTIONAL, serialNumber [1] IMPLICIT INTEGER OPTIONAL,
//   date [2] IMPLICIT Time OPTIONAL }
struct FEDI_GETCERT_BODY {
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  X509_NAME* issuer;
  X509_NAME* subject;
  ASN1_INTEGER* serialNumber;
  ASN1_TIME* date;
};
// FEDI_GETCRL_BODY ::= SEQUENCE { version INTEGER, type INTEGER (8), issuer Name }
struct FEDI_GETCRL_BODY {
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  X509_NAME* issuer;
};
// FEDI_GETCAPK_BODY ::= SEQUENCE { version INTEGER, type INTEGER (10), issuer Name,
//   psn [0] IMPLICIT INTEGER OPTIONAL, date [1] IMPLICIT Time OPTIONAL }
struct FEDI_GETCAPK_BODY {
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  X509_NAME* issuer;
  ASN1_INTEGER* psn;
  ASN1_TIME* date;
};

// FEDI_QUERY ::= SEQUENCE { typeTag printable string, version INTEGER, body }
// bodyType (FEDI_CT_GET_CERT, FEDI_CT_GET_CRL or FEDI_CT_GET_CAPK) says which body pointer is
// set; the query owns it.
struct FEDI_QUERY {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  int bodyType;
  FEDI_GETCERT_BODY* getCert;
  FEDI_GETCRL_BODY* getCrl;
  FEDI_GETCAPK_BODY* getCaPk;
};

// FEDI_QUERY_new returns a query of bodyType with tag PrintableString tag, version 0 and a
// new body (version 0, the body's type number, an empty issuer, no optional field); null for
// another bodyType or on memory exhaustion.
FEDI_QUERY* FEDI_QUERY_new(const char* tag, int bodyType);
void FEDI_QUERY_free(FEDI_QUERY* query);
int i2d_FEDI_QUERY(const FEDI_QUERY* query, unsigned char** pos);
// d2i_FEDI_QUERY reads a query whose body is of bodyType; the tag text is not compared.
// Definite lengths only.
FEDI_QUERY* d2i_FEDI_QUERY(FEDI_QUERY** out, const unsigned char** pos, long len, int bodyType);

// FEDI_ID_PAIR ::= SEQUENCE { text string, code string }; a new pair has a BMPString text and a
// PrintableString code. Strings of the identifier records are read from any printable-family
// type and written with their own.
struct FEDI_ID_PAIR {
  ASN1_STRING* text;
  ASN1_STRING* code;
};
DEFINE_STACK_OF(FEDI_ID_PAIR)

// Each identifier record starts with typeTag, version INTEGER 0 and its type number. A SET OF
// pairs is written in DER order (sorted encodings) and kept in received order when decoded.
// FEDI_OSID_REQ ::= SEQUENCE { typeTag "GeT-OsId", version, type (100), name string }
struct FEDI_OSID_REQ {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  ASN1_STRING* name;  // BMPString when new
};
// FEDI_OSID_RESP ::= SEQUENCE { typeTag "GeT-OsId", version, type (101), pairs SET OF pair }
struct FEDI_OSID_RESP {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  STACK_OF(FEDI_ID_PAIR) * pairs;
};
// FEDI_CSID_REQ ::= SEQUENCE { typeTag "GeT-CsId", version, type (102), first, second string }
struct FEDI_CSID_REQ {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  ASN1_STRING* first;   // BMPString when new
  ASN1_STRING* second;  // BMPString when new
};
// FEDI_CSID_RESP ::= SEQUENCE { typeTag "GeT-CsId", version, type (103 or 109), pair,
//                               pairs SET OF pair }
struct FEDI_CSID_RESP {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  FEDI_ID_PAIR* pair;
  STACK_OF(FEDI_ID_PAIR) * pairs;
};
// FEDI_CCHN_REQ ::= SEQUENCE { typeTag "Get-CcHn", version, type (108), sid2 PrintableString,
//                              sid1 PrintableString }
struct FEDI_CCHN_REQ {
  ASN1_STRING* typeTag;
  ASN1_INTEGER* version;
  ASN1_INTEGER* type;
  ASN1_STRING* sid2;
  ASN1_STRING* sid1;
};
// FEDI_STATUS ::= SEQUENCE { code INTEGER, text OCTET STRING }; value is the code as read when
// decoded (-1 for an INTEGER of more than 4 bytes).
struct FEDI_STATUS {
  ASN1_INTEGER* code;
  ASN1_OCTET_STRING* text;
  int value;
};

// Constructors (tag texts and type numbers set, strings empty; null on memory exhaustion),
// release (null accepted) and DER coders in OpenSSL's style. FEDI_CSID_RESP_new gives type 103;
// set the type to 109 for the answer to a type-108 request.
DECLARE_ASN1_FUNCTIONS(FEDI_ID_PAIR)
DECLARE_ASN1_FUNCTIONS(FEDI_OSID_REQ)
DECLARE_ASN1_FUNCTIONS(FEDI_OSID_RESP)
DECLARE_ASN1_FUNCTIONS(FEDI_CSID_REQ)
DECLARE_ASN1_FUNCTIONS(FEDI_CSID_RESP)
DECLARE_ASN1_FUNCTIONS(FEDI_CCHN_REQ)
DECLARE_ASN1_FUNCTIONS(FEDI_STATUS)

namespace kestrune {
KESTRUNE_FREE(FEDI_QUERY, FEDI_QUERY_free);
KESTRUNE_FREE(FEDI_CCHN_REQ, FEDI_CCHN_REQ_free);
KESTRUNE_FREE(FEDI_ID_PAIR, FEDI_ID_PAIR_free);
KESTRUNE_FREE(FEDI_CSID_RESP, FEDI_CSID_RESP_free);
KESTRUNE_FREE(FEDI_STATUS, FEDI_STATUS_free);
}  // namespace kestrune
