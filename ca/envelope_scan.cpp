// Telling apart the bodies that do not decode as a FEDI message, by their headers alone:
//   FEDI_MESSAGE ::= SEQUENCE { ..., content [2] EXPLICIT [type] EXPLICIT record OPTIONAL }
#include <openssl/asn1.h>

#include <climits>
#include <initializer_list>

#include "FEDIX509/fedi_message.h"
#include "ca/message_service.h"

namespace kestrune::ca {

namespace {

struct Header {
  long length = 0;
  int tag = 0;
  int cls = 0;
  bool constructed = false;
};

// readHeader reads one definite-length header at pos within end; false for an error or the
// indefinite form.
bool readHeader(const unsigned char*& pos, const unsigned char* end, Header& header) {
  if (pos >= end || end - pos > LONG_MAX) return false;
  const int flags =
      ASN1_get_object(&pos, &header.length, &header.tag, &header.cls, static_cast<long>(end - pos));
  if ((flags & 0x80) != 0 || flags == (V_ASN1_CONSTRUCTED | 1)) return false;
  header.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
  return header.length <= end - pos;
}

bool coded(int type) {
  if (type >= FEDI_CT_NEW_CERT_REQ && type <= FEDI_CT_GET_CAPK_ANS) return true;
  for (int known : {FEDI_CT_OSID_REQ, FEDI_CT_OSID_RESP, FEDI_CT_CSID_REQ, FEDI_CT_CSID_RESP,
                    FEDI_CT_CCHN_REQ, FEDI_CT_CCHN_RESP, FEDI_CT_STATUS}) {
    if (type == known) return true;
  }
  return false;
}

}  // namespace

UndecodableBody classifyUndecodable(std::span<const std::uint8_t> body) noexcept {
  const unsigned char* pos = body.data();
  const unsigned char* const end = body.data() + body.size();
  Header outer;
  if (!readHeader(pos, end, outer) || outer.tag != V_ASN1_SEQUENCE ||
      outer.cls != V_ASN1_UNIVERSAL || !outer.constructed || pos + outer.length != end) {
    return UndecodableBody::notAMessage;
  }
  while (pos < end) {
    Header field;
    if (!readHeader(pos, end, field)) return UndecodableBody::malformed;
    if (field.cls == V_ASN1_CONTEXT_SPECIFIC && field.tag == 2 && field.constructed) {
      Header wrapper;
      const unsigned char* inner = pos;
      if (!readHeader(inner, pos + field.length, wrapper) ||
          wrapper.cls != V_ASN1_CONTEXT_SPECIFIC) {
        return UndecodableBody::malformed;
      }
      return coded(wrapper.tag) ? UndecodableBody::malformed : UndecodableBody::unknownContentType;
    }
    pos += field.length;
  }
  return UndecodableBody::malformed;
}

}  // namespace kestrune::ca
