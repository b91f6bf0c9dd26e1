// UTCTime under the FEDI rule: OpenSSL's UTCTime syntax, plus values that begin with six '9'
// ("never expires"), which the authority writes in validity periods.
#include <openssl/err.h>

#include <algorithm>
#include <array>

#include "FEDIX509/fedi_internal.h"

namespace {

bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

}  // namespace

int FEDI_ASN1_UTCTIME_check(const ASN1_UTCTIME* time) {
  if (time == nullptr || time->type != V_ASN1_UTCTIME || time->data == nullptr) return 0;
  const int length = time->length;
  if (length < 11) return 0;
  const unsigned char* text = time->data;
  // Past the end reads as the terminating zero, which is no digit and no zone designator.
  auto at = [&](int i) -> int { return i < length ? text[i] : 0; };

  bool neverExpires = true;
  for (int i = 0; i < 6; ++i) neverExpires = neverExpires && text[i] == '9';
  if (neverExpires) return 1;

  // year, month, day, hour, minute, second, then the offset's hours and minutes
  static constexpr std::array<int, 8> kMin{0, 1, 1, 0, 0, 0, 0, 0};
  static constexpr std::array<int, 8> kMax{99, 12, 31, 23, 59, 59, 12, 59};
  auto readPair = [&](int& pos, int field) {
    if (!isDigit(at(pos)) || !isDigit(at(pos + 1))) return false;
    const int value = (at(pos) - '0') * 10 + (at(pos + 1) - '0');
    pos += 2;
    return value >= kMin[field] && value <= kMax[field];
  };

  int pos = 0;
  for (int field = 0; field < 6; ++field) {
    const int c = at(pos);
    if (field == 5 && (c == 'Z' || c == '+' || c == '-')) break;  // seconds omitted
    if (!readPair(pos, field)) return 0;
  }
  const int zone = at(pos);
  if (zone == 'Z') return pos + 1 == length ? 1 : 0;
  if (zone == '+' || zone == '-') {
    ++pos;
    if (pos + 4 > length) return 0;
    if (!readPair(pos, 6) || !readPair(pos, 7)) return 0;
  }
  return pos == length ? 1 : 0;
}

namespace {

int utcNew(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = reinterpret_cast<ASN1_VALUE*>(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  return *value != nullptr ? 1 : 0;
}

void utcFree(ASN1_VALUE** value, const ASN1_ITEM*) {
  ASN1_STRING_free(reinterpret_cast<ASN1_STRING*>(*value));
  *value = nullptr;
}

void utcClear(ASN1_VALUE** value, const ASN1_ITEM*) {
  *value = nullptr;
}

// Content octets to value; OpenSSL's template engine has already read the header and joined
// the segments of a constructed encoding.
int utcFromContent(ASN1_VALUE** value, const unsigned char* content, int length, int, char*,
                   const ASN1_ITEM*) {
  auto* time = reinterpret_cast<ASN1_STRING*>(*value);
  if (time == nullptr) {
    time = ASN1_STRING_type_new(V_ASN1_UTCTIME);
    if (time == nullptr) return 0;
    *value = reinterpret_cast<ASN1_VALUE*>(time);
  }
  if (ASN1_STRING_set(time, content, length) != 1) return 0;
  time->type = V_ASN1_UTCTIME;
  if (FEDI_ASN1_UTCTIME_check(time) != 1) {
    ERR_raise(ERR_LIB_ASN1, ASN1_R_ILLEGAL_TIME_VALUE);
    return 0;
  }
  return 1;
}

int utcToContent(const ASN1_VALUE** value, unsigned char* content, int*, const ASN1_ITEM*) {
  const auto* time = reinterpret_cast<const ASN1_STRING*>(*value);
  if (time == nullptr) return -1;
  if (content != nullptr && time->length > 0) std::copy_n(time->data, time->length, content);
  return time->length;
}

const ASN1_PRIMITIVE_FUNCS kUtcTimeFunctions = {
    nullptr, 0, utcNew, utcFree, utcClear, utcFromContent, utcToContent, nullptr};

}  // namespace

// clang-format off
ASN1_ITEM_start(FEDI_UTCTIME)
    ASN1_ITYPE_PRIMITIVE, V_ASN1_UTCTIME, nullptr, 0, &kUtcTimeFunctions, 0, "FEDI_UTCTIME"
ASN1_ITEM_end(FEDI_UTCTIME)
// clang-format on

ASN1_UTCTIME* d2i_FEDI_ASN1_UTCTIME(ASN1_UTCTIME** out, const unsigned char** pos, long len) {
  return reinterpret_cast<ASN1_UTCTIME*>(kestrune::fedi::detail::decodeRecord(
      reinterpret_cast<ASN1_VALUE**>(out), pos, len, ASN1_ITEM_rptr(FEDI_UTCTIME)));
}
