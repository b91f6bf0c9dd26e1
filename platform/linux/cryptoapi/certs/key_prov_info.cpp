#include "platform/linux/cryptoapi/certs/key_prov_info.h"

#include <nlohmann/json.hpp>

#include "platform/linux/cryptoapi/certs/layout.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxTextChars = 0x10000;

DWORD readDword(ByteView record, std::size_t at) {
  return DWORD{record[at]} | (DWORD{record[at + 1]} << 8) | (DWORD{record[at + 2]} << 16) |
         (DWORD{record[at + 3]} << 24);
}

void putDword(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void setDword(Bytes& out, std::size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A UTF-16LE text at an offset, up to its terminating zero inside the record.
bool readText(ByteView record, DWORD offset, std::wstring& text) {
  text.clear();
  for (std::size_t at = offset;; at += 2) {
    if (at + 2 > record.size() || text.size() > kMaxTextChars) return false;
    char32_t c = record[at] | (record[at + 1] << 8);
    if (c == 0) return true;
    if (c >= 0xD800 && c <= 0xDBFF && at + 4 <= record.size()) {
      const char32_t low = record[at + 2] | (record[at + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(c));
  }
}

void putText(Bytes& out, const std::wstring& text) {
  for (wchar_t w : text) {
    auto c = static_cast<char32_t>(w);
    auto unit = [&](char32_t u) {
      out.push_back(static_cast<std::uint8_t>(u));
      out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    if (c >= 0x10000 && c <= 0x10FFFF) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c > 0xFFFF ? U'?' : c);
    }
  }
  out.push_back(0);
  out.push_back(0);
}

}  // namespace

bool keyProvInfoOf(const CRYPT_KEY_PROV_INFO& info, KeyProvInfo& out) {
  out = KeyProvInfo{};
  if (info.cProvParam != 0 && info.rgProvParam == nullptr) return false;
  out.hasContainer = info.pwszContainerName != nullptr;
  out.hasProvider = info.pwszProvName != nullptr;
  if (out.hasContainer) out.container = info.pwszContainerName;
  if (out.hasProvider) out.provider = info.pwszProvName;
  out.provType = info.dwProvType;
  out.flags = info.dwFlags;
  out.keySpec = info.dwKeySpec;
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
    if (p.cbData != 0 && p.pbData == nullptr) return false;
    KeyProvParam param{p.dwParam, p.dwFlags, {}};
    if (p.cbData != 0) param.data.assign(p.pbData, p.pbData + p.cbData);
    out.params.push_back(std::move(param));
  }
  return true;
}

BOOL deliverKeyProvInfo(const KeyProvInfo& info, void* out, DWORD* length) {
  return deliverLayout(
      [&](Layout& layout) {
        auto* record = layout.take<CRYPT_KEY_PROV_INFO>();
        auto* params = layout.take<CRYPT_KEY_PROV_PARAM>(info.params.size());
        wchar_t* container = info.hasContainer ? layout.wide(info.container) : nullptr;
        wchar_t* provider = info.hasProvider ? layout.wide(info.provider) : nullptr;
        for (std::size_t i = 0; i < info.params.size(); ++i) {
          BYTE* data = layout.bytes(info.params[i].data);
          if (layout.writing()) {
            params[i] = CRYPT_KEY_PROV_PARAM{info.params[i].param, data,
                                             static_cast<DWORD>(info.params[i].data.size()),
                                             info.params[i].flags};
          }
        }
        if (layout.writing()) {
          *record = CRYPT_KEY_PROV_INFO{container,
                                        provider,
                                        info.provType,
                                        info.flags,
                                        static_cast<DWORD>(info.params.size()),
                                        info.params.empty() ? nullptr : params,
                                        info.keySpec};
        }
      },
      out, length);
}

bool readSerializedKeyProvInfo(ByteView record, KeyProvInfo& out) {
  out = KeyProvInfo{};
  constexpr std::size_t kHeader = 7 * 4;
  constexpr std::size_t kParam = 4 * 4;
  if (record.size() < kHeader) return false;
  const DWORD containerAt = readDword(record, 0);
  const DWORD providerAt = readDword(record, 4);
  out.provType = readDword(record, 8);
  out.flags = readDword(record, 12);
  const DWORD count = readDword(record, 16);
  const DWORD paramsAt = readDword(record, 20);
  out.keySpec = readDword(record, 24);
  if (containerAt != 0) {
    if (!readText(record, containerAt, out.container)) return false;
    out.hasContainer = true;
  }
  if (providerAt != 0) {
    if (!readText(record, providerAt, out.provider)) return false;
    out.hasProvider = true;
  }
  if (count > (record.size() - kHeader) / kParam) return false;
  if (count != 0 && (paramsAt > record.size() || record.size() - paramsAt < count * kParam))
    return false;
  for (DWORD i = 0; i < count; ++i) {
    const std::size_t at = paramsAt + i * kParam;
    KeyProvParam param;
    param.param = readDword(record, at);
    const DWORD dataAt = readDword(record, at + 4);
    const DWORD size = readDword(record, at + 8);
    param.flags = readDword(record, at + 12);
    if (size != 0) {
      if (dataAt > record.size() || record.size() - dataAt < size) return false;
      param.data.assign(record.begin() + dataAt, record.begin() + dataAt + size);
    }
    out.params.push_back(std::move(param));
  }
  return true;
}

Bytes serializedKeyProvInfo(const KeyProvInfo& info) {
  Bytes out;
  for (int i = 0; i < 7; ++i) putDword(out, 0);
  setDword(out, 8, info.provType);
  setDword(out, 12, info.flags);
  setDword(out, 16, static_cast<DWORD>(info.params.size()));
  setDword(out, 24, info.keySpec);
  if (!info.params.empty()) setDword(out, 20, static_cast<DWORD>(out.size()));
  const std::size_t paramsAt = out.size();
  for (const auto& p : info.params) {
    putDword(out, p.param);
    putDword(out, 0);
    putDword(out, static_cast<DWORD>(p.data.size()));
    putDword(out, p.flags);
  }
  if (info.hasContainer) {
    setDword(out, 0, static_cast<DWORD>(out.size()));
    putText(out, info.container);
  }
  if (info.hasProvider) {
    setDword(out, 4, static_cast<DWORD>(out.size()));
    putText(out, info.provider);
  }
  for (std::size_t i = 0; i < info.params.size(); ++i) {
    if (info.params[i].data.empty()) continue;
    setDword(out, paramsAt + i * 16 + 4, static_cast<DWORD>(out.size()));
    out.insert(out.end(), info.params[i].data.begin(), info.params[i].data.end());
  }
  return out;
}

bool keyProvInfoOfJson(std::string_view text, KeyProvInfo& out) {
  out = KeyProvInfo{};
  const auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) return false;
  KeyProvInfo info;
  const auto textOf = [&](const char* key, std::wstring& value, bool& present) {
    const auto it = json.find(key);
    if (it == json.end() || !it->is_string()) return true;
    present = true;
    return wideOfUtf8(it->get_ref<const std::string&>(), value);
  };
  const auto number = [&](const char* key, DWORD& value) {
    const auto it = json.find(key);
    if (it != json.end() && it->is_number_unsigned() && it->get<std::uint64_t>() <= 0xFFFFFFFFu)
      value = static_cast<DWORD>(it->get<std::uint64_t>());
  };
  if (!textOf("provider", info.provider, info.hasProvider) ||
      !textOf("container", info.container, info.hasContainer)) {
    return false;
  }
  number("providerType", info.provType);
  number("keySpec", info.keySpec);
  number("flags", info.flags);
  out = std::move(info);
  return true;
}

std::string keyProvInfoJson(const KeyProvInfo& info) {
  nlohmann::json json = nlohmann::json::object();
  json["provider"] = utf8Of(info.provider);
  json["container"] = utf8Of(info.container);
  json["providerType"] = info.provType;
  json["keySpec"] = info.keySpec;
  json["flags"] = info.flags;
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace kestrune::cryptoapi
