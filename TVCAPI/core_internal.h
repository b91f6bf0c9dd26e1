// What the handle, store, key and coder parts of TVCAPI share among themselves: handle checks,
// the diagnostic forms, store lists, key records and their contexts, and byte helpers. Written
// against CryptoAPI only; no exceptions, every allocation checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TVCAPI/tvcapi.h"
#include "TVCAPI/tvcapi_internal.h"
#include "platform/cryptoapi.h"

// The module names that diagnostics give as their source file.
inline constexpr const char* kModuleXCAPI = "TVXCAPI";
inline constexpr const char* kModuleLib = "TVCAPILib";
inline constexpr const char* kModuleCoder = "TVCAPICoder";
inline constexpr const char* kModuleASN1 = "TVCAPIASN1Method";
inline constexpr const char* kModuleCipher = "TVCAPICipher";

// tvxCAPIOutOfMemory shows "%s:%d:\n%s:%s" with "malloc NULL" (debug flag on) and returns 5002.
std::int32_t tvxCAPIOutOfMemory(const char* module, int line, const char* operation);
// tvxCAPICallFailed shows "%s:%d:\n%s:%s:%x" with the failed CryptoAPI function and the
// thread's last error, which it leaves as it found it.
void tvxCAPICallFailed(const char* module, int line, const char* operation, const char* function);

// tvxCAPICheckHandle returns 0 for a handle of that type with an object; 5005 for a null handle
// or object, 5006 for another type.
std::int32_t tvxCAPICheckHandle(const TVCAPIHandle* handle, std::uint32_t type);

// tvxCAPISecureZero overwrites memory in a way the compiler may not drop (PINs, private keys).
void tvxCAPISecureZero(void* memory, std::size_t length);
// tvxCAPIReverse turns little-endian bytes into big-endian ones in place, and back.
void tvxCAPIReverse(std::uint8_t* bytes, std::size_t length);

// tvxCAPINarrowText returns a new string (free with TVXCAPI_Free) with the UTF-16 text in the
// ANSI code page; null when the text is null, converts to nothing or memory runs out.
char* tvxCAPINarrowText(const WCHAR* wide);
// tvxCAPIWideText returns a new UTF-16 string (free with TVXCAPI_Free) of the ANSI text; null
// when it converts to nothing or memory runs out.
WCHAR* tvxCAPIWideText(const char* text);

// Store lists: tvxCAPINewStoreList returns an empty list or null; tvxCAPIAppendStore refuses a
// tenth store; tvxCAPIReleaseStoreList closes every store and frees the list (null ignored).
StoreList* tvxCAPINewStoreList();
bool tvxCAPIAppendStore(StoreList* list, HCERTSTORE store);
void tvxCAPIReleaseStoreList(StoreList* list);
// tvxCAPIWrapStoreList puts the list in a new store handle (type 8); on failure it releases the
// list and returns the creation's code.
std::int32_t tvxCAPIWrapStoreList(StoreList* list, TVCAPIHandle** out);

// tvxCAPIStoreFilePath returns the store file's UTF-16 path (the temporary folder followed by
// "tvys.st"; free with TVXCAPI_Free), or null when it can't be formed.
WCHAR* tvxCAPIStoreFilePath();

// tvxCAPIKeyProvInfo returns the certificate's key-provider property in a new buffer (free with
// TVXCAPI_Free): 0; 5204 when it has none; 5002; 5001 when it can't be read.
std::int32_t tvxCAPIKeyProvInfo(PCCERT_CONTEXT context, const char* operation,
                                CRYPT_KEY_PROV_INFO** info);

// Key records: a new record owning the context and the key (null when memory runs out; the
// caller still owns both then), and its release: the key destroyed, the context released
// (never the cached default one), any PIN cached for it wiped, the record freed.
TVCAPIKeyRecord* tvxCAPINewKeyRecord(HCRYPTPROV provider, HCRYPTKEY key, DWORD keySpec);
void tvxCAPIReleaseKeyRecord(TVCAPIKeyRecord* record);

// tvxCAPIKeyBytes returns the key's modulus size in bytes, or -1 when it can't be read.
std::int32_t tvxCAPIKeyBytes(const TVCAPIKeyRecord* record);

// The library's own key containers: a context on the named container, tried with the enhanced
// provider then the default one, each with the user's and then the machine's key sets, created
// when allowed and missing. A null name means the default container, whose context is cached
// for the life of the process. 0 when every attempt fails.
HCRYPTPROV tvxCAPIAcquireKeyContainer(const char* container, bool allowCreate);
// tvxCAPIReleaseContext releases a context unless it is 0 or the cached default one.
void tvxCAPIReleaseContext(HCRYPTPROV provider);

// The PIN cache: forget what was cached for that key record (on its release), or all of it.
void tvxCAPIForgetPinOf(const TVCAPIKeyRecord* record);
void tvxCAPIForgetPin();
// tvxCAPIPinCacheHeld tells whether a PIN is cached (for checks).
bool tvxCAPIPinCacheHeld();

// tvxCAPIHashAlgorithm gives the hash algorithm of a signing option word; false for a value
// outside 0 to 2.
bool tvxCAPIHashAlgorithm(std::uint32_t options, ALG_ID& algorithm);
// tvxCAPIHashInput makes the hash object of a signing or verifying: over the data (option
// 0x10000) or set to a finished hash value of the algorithm's length. 0 with the hash (the
// caller destroys it); 5005 for a hash value of another length; 5001 when CryptoAPI refuses.
std::int32_t tvxCAPIHashInput(HCRYPTPROV provider, ALG_ID algorithm, const std::uint8_t* input,
                              std::uint32_t length, std::uint32_t options, const char* operation,
                              HCRYPTHASH& hash);

// The Base64 text length of n bytes with its line feeds (see tvbase64_encode).
std::uint64_t tvxCAPIBase64Length(std::uint64_t n);
