// CERT_KEY_PROV_INFO_PROP_ID held as values: the caller's structure is deep-copied on set and
// laid out again, strings and parameters after the structure, on every get.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {

struct KeyProvParam {
  DWORD param = 0;
  DWORD flags = 0;
  Bytes data;
};

struct KeyProvInfo {
  std::wstring container;
  std::wstring provider;
  bool hasContainer = false;
  bool hasProvider = false;
  DWORD provType = 0;
  DWORD flags = 0;
  DWORD keySpec = 0;
  std::vector<KeyProvParam> params;
};

// keyProvInfoOf copies a caller's structure; false when its parameter list is malformed.
bool keyProvInfoOf(const CRYPT_KEY_PROV_INFO& info, KeyProvInfo& out);
BOOL deliverKeyProvInfo(const KeyProvInfo& info, void* out, DWORD* length);

// The form of the property in a saved store: seven 32-bit little-endian fields (container
// offset, provider offset, provider type, flags, parameter count, parameter offset, key
// spec), parameters of four fields (param, data offset, size, flags), UTF-16LE texts with a
// terminating zero; offsets count from the record's start.
bool readSerializedKeyProvInfo(ByteView record, KeyProvInfo& out);
Bytes serializedKeyProvInfo(const KeyProvInfo& info);

// The form of the property in a system store's <thumbprint>.json: {"provider": TEXT,
// "container": TEXT, "providerType": N, "keySpec": N, "flags": N}, texts in UTF-8 (parameters
// are not kept). keyProvInfoOfJson reads it (a missing or mistyped number is 0, a missing
// text absent); false when json is not an object or a text is not UTF-8. keyProvInfoJson
// writes it, one line.
bool keyProvInfoOfJson(std::string_view json, KeyProvInfo& out);
std::string keyProvInfoJson(const KeyProvInfo& info);

}  // namespace kestrune::cryptoapi
