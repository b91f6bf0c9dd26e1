// querySID1 and querySID2: the authority's identifier query (content type 108) and the two
// identifiers read from its answer (type 109).
#include <openssl/asn1.h>

#include <memory>

#include "FEDIX509/fedi_ca_client.h"
#include "common/ptr.h"
#include "control/ca_exchange_frame.h"
#include "control/ca_internal.h"
#include "control/ca_query_fields.h"
#include "control/control_internal.h"

namespace kestrune {
namespace {

// unicodeForm is the multi-byte form in which OpenSSL reads a Unicode string type, or 0 for
// the single-byte types, whose bytes are code-page text.
int unicodeForm(int type) {
  switch (type) {
    case V_ASN1_BMPSTRING:
      return MBSTRING_BMP;
    case V_ASN1_UTF8STRING:
      return MBSTRING_UTF8;
    case V_ASN1_UNIVERSALSTRING:
      return MBSTRING_UNIV;
    default:
      return 0;
  }
}

// utf16Text reads a Unicode string as UTF-16 through OpenSSL's conversion to a BMPString (big
// endian, two bytes a character); false when it isn't valid or holds characters beyond the
// BMP.
bool utf16Text(const ASN1_STRING* value, int form, std::u16string& text) {
  ASN1_STRING* converted = nullptr;
  if (ASN1_mbstring_ncopy(&converted, ASN1_STRING_get0_data(value), ASN1_STRING_length(value), form,
                          B_ASN1_BMPSTRING, 0, 0) < 0) {
    return false;
  }
  // Owned before the text grows: a std::bad_alloc there must not leak it.
  const Ptr<ASN1_STRING> bmp(converted);
  const unsigned char* bytes = ASN1_STRING_get0_data(bmp.get());
  const auto length = static_cast<std::size_t>(ASN1_STRING_length(bmp.get()));
  text.clear();
  text.reserve(length / 2);
  for (std::size_t at = 0; at + 1 < length; at += 2) {
    text.push_back(static_cast<char16_t>((bytes[at] << 8) | bytes[at + 1]));
  }
  return true;
}

}  // namespace

std::optional<std::u16string> control::querySid(ControlState& state, int which,
                                                std::u16string_view caUrl, std::u16string_view sid1,
                                                std::u16string_view sid2) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  control::CaExchange exchange(state);
  state.lastErrorCode = [&]() -> std::int32_t {
    const auto url = argumentText(state, caUrl);
    if (!url) return +ControlCode::kBadText;
    const auto first = argumentText(state, sid1);
    if (!first) return +ControlCode::kBadText;
    const auto second = argumentText(state, sid2);
    if (!second) return +ControlCode::kBadText;
    Ptr<FEDI_CCHN_REQ> query(FEDI_CCHN_REQ_new());
    if (!query || !control::setText(query->sid2, *second) ||
        !control::setText(query->sid1, *first)) {
      return +ControlCode::kNoMemory;
    }
    return exchange.run(url->c_str(), &ca_QuerySid, query.get(), FEDI_CT_CCHN_RESP);
  }();
  if (state.lastErrorCode != +ControlCode::kOk) return std::nullopt;

  // SID1 is the first string of the SET's first element, SID2 that of the single element.
  const auto* answer = exchange.content<FEDI_CSID_RESP>();
  const FEDI_ID_PAIR* element = answer->pair;
  if (which == 1) {
    element =
        sk_FEDI_ID_PAIR_num(answer->pairs) > 0 ? sk_FEDI_ID_PAIR_value(answer->pairs, 0) : nullptr;
  }
  // An answer without the element names no identifier: no text, and a code that says the
  // answer was of no use rather than the check's 0.
  if (element == nullptr || element->text == nullptr) {
    state.lastErrorCode = +ControlCode::kMalformedArgument;
    return std::nullopt;
  }
  const ASN1_STRING* value = element->text;
  // A BMPString (the type a new identifier pair carries) or another Unicode type is already
  // Unicode text; read as code-page bytes it would come out garbled.
  if (const int form = unicodeForm(ASN1_STRING_type(value)); form != 0) {
    std::u16string text;
    if (!utf16Text(value, form, text)) {
      state.lastErrorCode = +ControlCode::kResultTextFailed;
      return std::nullopt;
    }
    return text;
  }
  return toBstr(state, std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                        static_cast<std::size_t>(ASN1_STRING_length(value))));
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::querySID1(std::u16string_view caUrl,
                                                            std::u16string_view sid1,
                                                            std::u16string_view sid2) {
  return control::inFrame(*this, [&] { return control::querySid(*this, 1, caUrl, sid1, sid2); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::querySID2(std::u16string_view caUrl,
                                                            std::u16string_view sid1,
                                                            std::u16string_view sid2) {
  return control::inFrame(*this, [&] { return control::querySid(*this, 2, caUrl, sid1, sid2); });
}

}  // namespace kestrune
