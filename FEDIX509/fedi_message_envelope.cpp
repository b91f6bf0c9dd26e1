// FEDI_MESSAGE ::= SEQUENCE {
//   version INTEGER, second INTEGER, created GeneralizedTime,
//   digest  [1] IMPLICIT OCTET STRING OPTIONAL,
//   agent   printable string,
//   content [2] EXPLICIT [type] EXPLICIT record OPTIONAL }
// Hand-coded: the content's tag number is its type, which OpenSSL's templates can't express.
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "FEDIX509/fedi_md5.h"
#include "FEDIX509/fedi_message.h"
#include "common/der.h"
#include "platform/platform.h"

namespace {

constexpr int kDigestTag = 1;
constexpr int kContentTag = 2;
constexpr unsigned char kConstructed = 0x20;
constexpr std::size_t kMd5Length = 16;
constexpr std::size_t kDigestLength = 20;  // MD5 followed by four zero bytes

using Bytes = std::vector<unsigned char>;

template <class T>
bool append(Bytes& out, const T* field, int (*i2d)(const T*, unsigned char**)) {
  return kestrune::appendDer(field, i2d, out);
}

void appendHeader(Bytes& out, int constructed, int length, int tag, int tagClass) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(ASN1_object_size(0, length, tag)));
  unsigned char* p = out.data() + at;
  ASN1_put_object(&p, constructed, length, tag, tagClass);
  out.resize(static_cast<std::size_t>(p - out.data()));
}

// encodeBody returns the contents of the SEQUENCE; false when a field is missing or fails.
bool encodeBody(const FEDI_MESSAGE* msg, Bytes& out) {
  if (!append(out, msg->version, i2d_ASN1_INTEGER) || !append(out, msg->second, i2d_ASN1_INTEGER) ||
      !append(out, msg->created, i2d_ASN1_GENERALIZEDTIME)) {
    return false;
  }
  if (msg->digest != nullptr) {
    const std::size_t at = out.size();
    if (!append(out, msg->digest, i2d_ASN1_OCTET_STRING)) return false;
    out[at] =
        static_cast<unsigned char>(V_ASN1_CONTEXT_SPECIFIC | kDigestTag | (out[at] & kConstructed));
  }
  if (!append(out, static_cast<const ASN1_STRING*>(msg->agent), i2d_ASN1_PRINTABLE)) return false;
  const int contentLength = i2d_FEDI_CONTENT(msg->content, nullptr);
  if (contentLength < 0) return false;
  if (contentLength > 0) {
    appendHeader(out, 1, contentLength, kContentTag, V_ASN1_CONTEXT_SPECIFIC);
    return append(out, static_cast<const FEDI_CONTENT*>(msg->content), i2d_FEDI_CONTENT);
  }
  return true;
}

template <class T>
void replace(T*& slot, T* value, void (*release)(T*)) {
  release(slot);
  slot = value;
}

// readDigest reads [1] IMPLICIT OCTET STRING (primitive or constructed) by giving a copy of
// the element the universal tag; the input itself is never written.
ASN1_OCTET_STRING* readDigest(const unsigned char** pos, long len) {
  Bytes copy(*pos, *pos + len);
  copy[0] = static_cast<unsigned char>(V_ASN1_OCTET_STRING | (copy[0] & kConstructed));
  const unsigned char* p = copy.data();
  ASN1_OCTET_STRING* digest = d2i_ASN1_OCTET_STRING(nullptr, &p, len);
  if (digest != nullptr) *pos += p - copy.data();
  return digest;
}

// decodeBody reads the fields of a message from *pos, within end, and leaves *pos after them.
bool decodeBody(FEDI_MESSAGE* msg, const unsigned char** pos, const unsigned char* end) {
  const unsigned char*& p = *pos;
  if (d2i_ASN1_INTEGER(&msg->version, &p, end - p) == nullptr ||
      d2i_ASN1_INTEGER(&msg->second, &p, end - p) == nullptr) {
    return false;
  }
  if (p >= end || *p != V_ASN1_GENERALIZEDTIME ||
      d2i_ASN1_GENERALIZEDTIME(&msg->created, &p, end - p) == nullptr ||
      ASN1_GENERALIZEDTIME_check(msg->created) != 1) {
    return false;
  }
  replace(msg->digest, static_cast<ASN1_OCTET_STRING*>(nullptr), ASN1_OCTET_STRING_free);
  if (p < end && (*p & ~kConstructed) == (V_ASN1_CONTEXT_SPECIFIC | kDigestTag)) {
    msg->digest = readDigest(&p, end - p);
    if (msg->digest == nullptr) return false;
  }
  if (d2i_ASN1_PRINTABLE(&msg->agent, &p, end - p) == nullptr) return false;
  if (p < end && *p == (V_ASN1_CONTEXT_SPECIFIC | kConstructed | kContentTag)) {
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const int header = ASN1_get_object(&p, &length, &tag, &tagClass, end - p);
    if ((header & 0x80) != 0) return false;
    const bool indefinite = header == 0x21;
    const unsigned char* inner = p;
    const long innerLength = indefinite ? end - p : length;
    if (d2i_FEDI_CONTENT(&msg->content, &p, innerLength) == nullptr) return false;
    // A [2] that holds no content would vanish on re-encoding: refuse it.
    if (msg->content->type == FEDI_CONTENT_NONE) return false;
    if (indefinite) {
      if (end - p < 2 || p[0] != 0 || p[1] != 0) return false;
      p += 2;
    } else if (p != inner + length) {
      return false;  // bytes left inside [2]
    }
  }
  return true;
}

}  // namespace

FEDI_MESSAGE* FEDI_MESSAGE_new() {
  auto* msg = static_cast<FEDI_MESSAGE*>(OPENSSL_zalloc(sizeof(FEDI_MESSAGE)));
  if (msg == nullptr) {
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  msg->version = ASN1_INTEGER_new();
  msg->second = ASN1_INTEGER_new();
  msg->created = ASN1_GENERALIZEDTIME_new();
  msg->digest = ASN1_OCTET_STRING_new();
  msg->agent = ASN1_PRINTABLESTRING_new();
  msg->content = FEDI_CONTENT_new();
  if (msg->version == nullptr || msg->second == nullptr || msg->created == nullptr ||
      msg->digest == nullptr || msg->agent == nullptr || msg->content == nullptr) {
    FEDI_MESSAGE_free(msg);
    ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  return msg;
}

void FEDI_MESSAGE_free(FEDI_MESSAGE* msg) {
  if (msg == nullptr) return;
  ASN1_INTEGER_free(msg->version);
  ASN1_INTEGER_free(msg->second);
  ASN1_GENERALIZEDTIME_free(msg->created);
  ASN1_OCTET_STRING_free(msg->digest);
  ASN1_STRING_free(msg->agent);
  FEDI_CONTENT_free(msg->content);
  OPENSSL_free(msg);
}

int FEDI_MESSAGE_fill(FEDI_MESSAGE* msg, long version, long second, const char* agent, int type,
                      void* record) {
  if (msg == nullptr || agent == nullptr) return FEDI_MSG_NO_MEMORY;
  if ((msg->version == nullptr && (msg->version = ASN1_INTEGER_new()) == nullptr) ||
      (msg->second == nullptr && (msg->second = ASN1_INTEGER_new()) == nullptr) ||
      (msg->created == nullptr && (msg->created = ASN1_GENERALIZEDTIME_new()) == nullptr) ||
      (msg->digest == nullptr && (msg->digest = ASN1_OCTET_STRING_new()) == nullptr) ||
      (msg->agent == nullptr && (msg->agent = ASN1_PRINTABLESTRING_new()) == nullptr) ||
      (msg->content == nullptr && (msg->content = FEDI_CONTENT_new()) == nullptr)) {
    return FEDI_MSG_NO_MEMORY;
  }
  const auto now = static_cast<time_t>(kestrune::platform::currentTime());
  if (ASN1_INTEGER_set(msg->version, version) != 1 || ASN1_INTEGER_set(msg->second, second) != 1 ||
      ASN1_GENERALIZEDTIME_set(msg->created, now) == nullptr) {
    return FEDI_MSG_NO_MEMORY;
  }
  const int code = FEDI_CONTENT_set(msg->content, type, record);
  if (code != FEDI_MSG_OK) return code;
  unsigned char digest[kDigestLength] = {};
  if (EVP_Digest(msg->content->der, static_cast<std::size_t>(msg->content->der_length), digest,
                 nullptr, kestrune::fedi::md5(), nullptr) != 1) {
    return FEDI_MSG_NO_MEMORY;
  }
  static_assert(kMd5Length + 4 == kDigestLength);
  if (ASN1_OCTET_STRING_set(msg->digest, digest, static_cast<int>(kDigestLength)) != 1 ||
      ASN1_STRING_set(msg->agent, agent, static_cast<int>(std::strlen(agent))) != 1) {
    return FEDI_MSG_NO_MEMORY;
  }
  return FEDI_MSG_OK;
}

int i2d_FEDI_MESSAGE(const FEDI_MESSAGE* msg, unsigned char** pos) {
  if (msg == nullptr) return 0;
  Bytes body;
  if (!encodeBody(msg, body)) return -1;
  const int bodyLength = static_cast<int>(body.size());
  const int total = ASN1_object_size(1, bodyLength, V_ASN1_SEQUENCE);
  if (total < 0 || pos == nullptr) return total;
  // The header goes straight into the destination, in front of the body.
  const bool allocate = *pos == nullptr;
  unsigned char* buffer =
      allocate ? static_cast<unsigned char*>(OPENSSL_malloc(static_cast<std::size_t>(total)))
               : *pos;
  if (buffer == nullptr) return -1;
  unsigned char* p = buffer;
  ASN1_put_object(&p, 1, bodyLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
  std::memcpy(p, body.data(), body.size());
  *pos = allocate ? buffer : p + body.size();
  return total;
}

FEDI_MESSAGE* d2i_FEDI_MESSAGE(FEDI_MESSAGE** out, const unsigned char** pos, long len) {
  if (pos == nullptr || *pos == nullptr || len <= 0) return nullptr;
  const unsigned char* p = *pos;
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  const int header = ASN1_get_object(&p, &length, &tag, &tagClass, len);
  if ((header & 0x80) != 0 || tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL ||
      (header & V_ASN1_CONSTRUCTED) == 0) {
    return nullptr;
  }
  const bool indefinite = header == 0x21;
  const unsigned char* end = indefinite ? *pos + len : p + length;
  kestrune::fedi::MessagePtr msg(FEDI_MESSAGE_new());
  if (!msg || !decodeBody(msg.get(), &p, end)) return nullptr;
  if (indefinite) {
    if (end - p < 2 || p[0] != 0 || p[1] != 0) return nullptr;
    p += 2;
  } else if (p != end) {
    return nullptr;  // fields left over in the SEQUENCE
  }
  *pos = p;
  if (out == nullptr) return msg.release();
  FEDI_MESSAGE_free(*out);
  *out = msg.release();
  return *out;
}
