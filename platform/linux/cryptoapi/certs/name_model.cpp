// Name ::= SEQUENCE OF RelativeDistinguishedName
// RelativeDistinguishedName ::= SET OF AttributeTypeAndValue
// AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
#include <algorithm>

#include "platform/linux/cryptoapi/certs/der_tlv.h"
#include "platform/linux/cryptoapi/certs/layout.h"
#include "platform/linux/cryptoapi/certs/name_model.h"

namespace kestrune::cryptoapi {
namespace {

struct StringTag {
  std::uint8_t tag;
  DWORD type;
};
constexpr StringTag kStringTags[] = {
    {0x04, CERT_RDN_OCTET_STRING},     {0x12, CERT_RDN_NUMERIC_STRING},
    {0x13, CERT_RDN_PRINTABLE_STRING}, {0x14, CERT_RDN_TELETEX_STRING},
    {0x15, CERT_RDN_VIDEOTEX_STRING},  {0x16, CERT_RDN_IA5_STRING},
    {0x19, CERT_RDN_GRAPHIC_STRING},   {0x1A, CERT_RDN_VISIBLE_STRING},
    {0x1B, CERT_RDN_GENERAL_STRING},   {0x1C, CERT_RDN_UNIVERSAL_STRING},
    {0x1E, CERT_RDN_BMP_STRING},       {0x0C, CERT_RDN_UTF8_STRING},
};

bool wideOfBigEndian(ByteView content, std::size_t unit, std::wstring& wide) {
  if (content.size() % unit != 0) return false;
  for (std::size_t i = 0; i < content.size(); i += unit) {
    char32_t c = 0;
    for (std::size_t k = 0; k < unit; ++k) c = (c << 8) | content[i + k];
    // UTF-16 pairs become one character, as wchar_t holds whole code points here.
    if (unit == 2 && c >= 0xD800 && c <= 0xDBFF && i + 3 < content.size()) {
      const char32_t low = (char32_t{content[i + 2]} << 8) | content[i + 3];
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c > 0x10FFFF) return false;
    wide.push_back(static_cast<wchar_t>(c));
  }
  return true;
}

Bytes bigEndianOf(std::wstring_view wide, std::size_t unit) {
  Bytes out;
  for (wchar_t w : wide) {
    auto c = static_cast<char32_t>(w);
    auto put = [&](char32_t v) {
      for (std::size_t k = unit; k-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    if (unit == 2 && c >= 0x10000 && c <= 0x10FFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

bool decodeValue(const der::Tlv& value, NameValue& out) {
  for (const auto& t : kStringTags) {
    if (t.tag != value.tag) continue;
    out.type = t.type;
    switch (t.type) {
      case CERT_RDN_UTF8_STRING:
        // Malformed UTF-8 doesn't make the name undecodable: each bad part reads as U+FFFD,
        // so the certificate still lists, shows and can be found by its other attributes.
        decodeUtf8(std::string_view(reinterpret_cast<const char*>(value.content.data()),
                                    value.content.size()),
                   out.wide);
        return true;
      case CERT_RDN_BMP_STRING:
        return wideOfBigEndian(value.content, 2, out.wide);
      case CERT_RDN_UNIVERSAL_STRING:
        return wideOfBigEndian(value.content, 4, out.wide);
      default:
        out.bytes.assign(value.content.begin(), value.content.end());
        return true;
    }
  }
  out.type = CERT_RDN_ENCODED_BLOB;
  out.bytes.assign(value.whole.begin(), value.whole.end());
  return true;
}

}  // namespace

// BER's indefinite lengths are taken in a name, as CryptoAPI decodes BER: a certificate whose
// issuer or subject was written so still shows and can be found.
bool decodeName(ByteView der, NameModel& name, DWORD& error) {
  constexpr der::Lengths kLengths = der::Lengths::indefiniteToo;
  name.clear();
  der::Reader outer(der, kLengths);
  if (outer.peekTag() != der::kSequence) {
    error = der.empty() ? kAsn1Eod : CRYPT_E_ASN1_BADTAG;
    return false;
  }
  const auto sequence = outer.next();
  if (!sequence) {
    error = kAsn1Eod;
    return false;
  }
  error = CRYPT_E_ASN1_CORRUPT;
  der::Reader rdns(sequence->content, kLengths);
  while (!rdns.empty()) {
    const auto set = rdns.next(der::kSet);
    if (!set) return false;
    Rdn rdn;
    der::Reader attributes(set->content, kLengths);
    while (!attributes.empty()) {
      const auto pair = attributes.next(der::kSequence);
      if (!pair) return false;
      der::Reader fields(pair->content, kLengths);
      const auto type = fields.next(der::kOid);
      const auto value = fields.next();
      if (!type || !value || !fields.empty()) return false;
      NameValue attribute;
      attribute.oid = der::oidText(type->content);
      if (attribute.oid.empty() || !decodeValue(*value, attribute)) return false;
      rdn.push_back(std::move(attribute));
    }
    name.push_back(std::move(rdn));
  }
  return true;
}

bool encodeName(const NameModel& name, Bytes& der, DWORD& error) {
  Bytes rdns;
  for (const Rdn& rdn : name) {
    std::vector<Bytes> members;
    for (const NameValue& attribute : rdn) {
      Bytes pair = der::oidElement(attribute.oid.c_str());
      if (pair.empty()) {
        error = CRYPT_E_ASN1_ERROR;
        return false;
      }
      if (attribute.type == CERT_RDN_ENCODED_BLOB) {
        // The value is an element of its own; it must be exactly one.
        der::Reader check(attribute.bytes);
        if (!check.next() || !check.empty()) {
          error = CRYPT_E_ASN1_ERROR;
          return false;
        }
        pair.insert(pair.end(), attribute.bytes.begin(), attribute.bytes.end());
      } else {
        const auto tag = std::find_if(std::begin(kStringTags), std::end(kStringTags),
                                      [&](const StringTag& t) { return t.type == attribute.type; });
        if (tag == std::end(kStringTags)) {
          error = kInvalidArg;
          return false;
        }
        Bytes content;
        if (attribute.type == CERT_RDN_UTF8_STRING) {
          const std::string text = utf8Of(attribute.wide);
          content.assign(text.begin(), text.end());
        } else if (attribute.isWide()) {
          content = bigEndianOf(attribute.wide, attribute.type == CERT_RDN_BMP_STRING ? 2 : 4);
        } else {
          content = attribute.bytes;
        }
        der::append(pair, tag->tag, content);
      }
      members.push_back(der::element(der::kSequence, pair));
    }
    std::sort(members.begin(), members.end());
    Bytes set;
    for (const Bytes& member : members) set.insert(set.end(), member.begin(), member.end());
    der::append(rdns, der::kSet, set);
  }
  der = der::element(der::kSequence, rdns);
  return true;
}

bool nameModelOf(const CERT_NAME_INFO& info, NameModel& name, DWORD& error) {
  name.clear();
  if (info.cRDN != 0 && info.rgRDN == nullptr) {
    error = kInvalidArg;
    return false;
  }
  for (DWORD i = 0; i < info.cRDN; ++i) {
    const CERT_RDN& rdn = info.rgRDN[i];
    if (rdn.cRDNAttr != 0 && rdn.rgRDNAttr == nullptr) {
      error = kInvalidArg;
      return false;
    }
    Rdn out;
    for (DWORD k = 0; k < rdn.cRDNAttr; ++k) {
      const CERT_RDN_ATTR& attr = rdn.rgRDNAttr[k];
      if (attr.pszObjId == nullptr || (attr.Value.cbData != 0 && attr.Value.pbData == nullptr)) {
        error = kInvalidArg;
        return false;
      }
      NameValue value;
      value.oid = attr.pszObjId;
      value.type = attr.dwValueType;
      const BYTE* data = attr.Value.pbData;
      if (value.isWide()) {
        // Wide values: cbData counts bytes; 0 means a zero-terminated text.
        const auto* text = reinterpret_cast<const wchar_t*>(data);
        const std::size_t chars = attr.Value.cbData != 0 ? attr.Value.cbData / sizeof(wchar_t)
                                  : text != nullptr      ? std::wcslen(text)
                                                         : 0;
        if (text != nullptr) value.wide.assign(text, chars);
      } else if (data != nullptr) {
        value.bytes.assign(data, data + attr.Value.cbData);
      }
      out.push_back(std::move(value));
    }
    name.push_back(std::move(out));
  }
  return true;
}

BOOL deliverNameInfo(const NameModel& name, void* out, DWORD* length) {
  return deliverLayout(
      [&](Layout& layout) {
        auto* info = layout.take<CERT_NAME_INFO>();
        auto* rdns = layout.take<CERT_RDN>(name.size());
        for (std::size_t i = 0; i < name.size(); ++i) {
          auto* attrs = layout.take<CERT_RDN_ATTR>(name[i].size());
          for (std::size_t k = 0; k < name[i].size(); ++k) {
            const NameValue& value = name[i][k];
            char* oid = layout.text(value.oid);
            BYTE* data;
            DWORD size;
            if (value.isWide()) {
              data = reinterpret_cast<BYTE*>(layout.wide(value.wide));
              size = static_cast<DWORD>(value.wide.size() * sizeof(wchar_t));
            } else {
              // 8-bit values get a zero after them that cbData does not count.
              data = reinterpret_cast<BYTE*>(layout.text(std::string_view(
                  reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size())));
              size = static_cast<DWORD>(value.bytes.size());
            }
            if (layout.writing()) attrs[k] = CERT_RDN_ATTR{oid, value.type, {size, data}};
          }
          if (layout.writing())
            rdns[i] =
                CERT_RDN{static_cast<DWORD>(name[i].size()), name[i].empty() ? nullptr : attrs};
        }
        if (layout.writing())
          *info = CERT_NAME_INFO{static_cast<DWORD>(name.size()), name.empty() ? nullptr : rdns};
      },
      out, length);
}

}  // namespace kestrune::cryptoapi
