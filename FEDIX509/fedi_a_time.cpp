// FEDI time: UTCTime under the FEDI rule or GeneralizedTime under OpenSSL's, chosen by the tag.
// A record field of this type is an OpenSSL ASN1_TIME.
#include <openssl/err.h>

#include <algorithm>

#include "FEDIX509/fedi_internal.h"

namespace {

constexpr unsigned char kConstructedBit = 0x20;

bool isFediTimeType(int type) {
  return type == V_ASN1_UTCTIME || type == V_ASN1_GENERALIZEDTIME;
}

// decodeFresh reads one time into a new value, or returns null.
ASN1_TIME* decodeFresh(const unsigned char** pos, long len) {
  if (len <= 0) {
    ERR_raise(ERR_LIB_ASN1, ASN1_R_TOO_SMALL);
    return nullptr;
  }
  switch (**pos & ~kConstructedBit) {
    case V_ASN1_UTCTIME:
      return d2i_FEDI_ASN1_UTCTIME(nullptr, pos, len);
    case V_ASN1_GENERALIZEDTIME: {
      const unsigned char* p = *pos;
      ASN1_GENERALIZEDTIME* time = d2i_ASN1_GENERALIZEDTIME(nullptr, &p, len);
      if (time == nullptr) return nullptr;
      if (ASN1_GENERALIZEDTIME_check(time) != 1) {
        ASN1_GENERALIZEDTIME_free(time);
        ERR_raise(ERR_LIB_ASN1, ASN1_R_ILLEGAL_TIME_VALUE);
        return nullptr;
      }
      *pos = p;
      return time;
    }
    default:
      ERR_raise(ERR_LIB_ASN1, ASN1_R_WRONG_TAG);
      return nullptr;
  }
}

int timeNew(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = reinterpret_cast<ASN1_VALUE*>(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  return *value != nullptr ? 1 : 0;
}

void timeFree(ASN1_VALUE** value, const ASN1_ITEM*) {
  ASN1_STRING_free(reinterpret_cast<ASN1_STRING*>(*value));
  *value = nullptr;
}

void timeClear(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = nullptr;
}

int timeDecode(ASN1_VALUE** value, const unsigned char** pos, long len, const ASN1_ITEM*, int tag,
               int, char optional, ASN1_TLC*) {
  if (tag != -1) {  // never tagged implicitly in these records
    ERR_raise(ERR_LIB_ASN1, ASN1_R_BAD_TEMPLATE);
    return 0;
  }
  if (optional != 0 && len > 0 && !isFediTimeType(**pos & ~kConstructedBit)) return -1;
  ASN1_TIME* time = decodeFresh(pos, len);
  if (time == nullptr) return 0;
  ASN1_STRING_free(reinterpret_cast<ASN1_STRING*>(*value));
  *value = reinterpret_cast<ASN1_VALUE*>(time);
  return 1;
}

// A time of any other type cannot be written: -1 makes the whole record's encoder fail
// (0 would silently drop the field).
int timeEncode(const ASN1_VALUE** value, unsigned char** pos, const ASN1_ITEM*, int tag,
               int tagClass) {
  const auto* time = reinterpret_cast<const ASN1_STRING*>(*value);
  if (time == nullptr || !isFediTimeType(time->type)) {
    ERR_raise(ERR_LIB_ASN1, ASN1_R_UNSUPPORTED_TYPE);
    return -1;
  }
  if (tag == -1) {
    tag = time->type;
    tagClass = V_ASN1_UNIVERSAL;
  }
  const int total = ASN1_object_size(0, time->length, tag);
  if (total < 0) return -1;
  if (pos != nullptr && *pos != nullptr) {
    ASN1_put_object(pos, 0, time->length, tag, tagClass);
    if (time->length > 0) *pos = std::copy_n(time->data, time->length, *pos);
  }
  return total;
}

const ASN1_EXTERN_FUNCS kTimeFunctions = {nullptr,    timeNew, timeFree, timeClear, timeDecode,
                                          timeEncode, nullptr, nullptr,  nullptr};

}  // namespace

IMPLEMENT_EXTERN_ASN1(FEDI_TIME, V_ASN1_UTCTIME, kTimeFunctions)

ASN1_TIME* d2i_FEDI_ASN1_TIME(ASN1_TIME** out, const unsigned char** pos, long len) {
  if (pos == nullptr || *pos == nullptr) return nullptr;
  const unsigned char* p = *pos;
  ASN1_TIME* time = decodeFresh(&p, len);
  if (time == nullptr) return nullptr;
  if (out != nullptr && *out != nullptr) {  // fill the caller's value in place
    if (ASN1_STRING_copy(*out, time) != 1) {
      ASN1_STRING_free(time);
      return nullptr;
    }
    ASN1_STRING_free(time);
    time = *out;
  } else if (out != nullptr) {
    *out = time;
  }
  *pos = p;
  return time;
}

int i2d_FEDI_ASN1_TIME(const ASN1_TIME* time, unsigned char** pos) {
  if (time == nullptr) return 0;
  const auto* value = reinterpret_cast<const ASN1_VALUE*>(time);
  return kestrune::fedi::detail::encodeRecord(value, pos, ASN1_ITEM_rptr(FEDI_TIME));
}
