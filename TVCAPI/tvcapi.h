/* TVCAPI: the component's certificate-store and key-provider library.
 *
 * Plain C functions over CryptoAPI (wincrypt on Windows, platform/cryptoapi.h's stand-in on
 * Linux). Every operation returns a 32-bit result code (TVCAPI_OK or one of the codes below)
 * and hands its outputs back through pointers; the caller owns every handle, string and blob
 * an operation returns and releases it with TVXCAPI_FreeHandle, TVXCAPI_Free or
 * TVXCAPI_FreeBlob. Text is single-byte, in the ANSI code page (950, Big5). */
#ifndef KESTRUNE_TVCAPI_H
#define KESTRUNE_TVCAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
enum {
  TVCAPI_OK = 0,
  TVCAPI_EMPTY_KEY = -1, /* a name-specification line has an empty key */
  TVCAPI_FAILED = 5001,  /* a CryptoAPI call failed, no valid choice, unsupported */
  TVCAPI_NO_MEMORY = 5002,
  TVCAPI_BUFFER_TOO_SMALL = 5003, /* also: a specification line over 1023 characters */
  TVCAPI_UNKNOWN_LANGUAGE = 5004,
  TVCAPI_BAD_ARGUMENT = 5005, /* null handle or output, empty text, bad option, hash length */
  TVCAPI_WRONG_HANDLE_TYPE = 5006,
  TVCAPI_BAD_BASE64 = 5008,
  TVCAPI_NOT_FOUND = 5010, /* no certificate matches; the store file can't be opened */
  TVCAPI_ONLY_EXPIRED = 5011,
  TVCAPI_ONLY_NOT_YET_VALID = 5012,
  TVCAPI_ONLY_OUTSIDE_VALIDITY = 5013, /* both 5011 and 5012 */
  TVCAPI_NO_MATCH = 5014,              /* a certificate does not match a name specification */
  TVCAPI_BAD_SIGNATURE = 5036,
  TVCAPI_BAD_CERTIFICATE = 5040,
  TVCAPI_BAD_PKCS7 = 5042,
  TVCAPI_BAD_KEY = 5043,
  TVCAPI_BAD_SPECIFICATION = 5045, /* unknown key, last line without "=", armour errors */
  TVCAPI_SIGN_FAILED = 5061,
  TVCAPI_VERIFY_FAILED = 5062,
  TVCAPI_ENCRYPT_FAILED = 5063,
  TVCAPI_DECRYPT_FAILED = 5064,
  TVCAPI_CANCELLED = 5070,
  TVCAPI_WRONG_PIN = 5071,
  TVCAPI_PIN_BLOCKED = 5072,
  TVCAPI_NO_MEMORY_STORE = 5201,
  TVCAPI_NO_CSP_CONTEXT = 5203,
  TVCAPI_NO_KEY_PROVIDER = 5204,
  TVCAPI_STORE_ACCESS_DENIED = 5206,
  TVCAPI_NOT_BIG5 = 5901
};

/* Handle types. */
enum {
  TVCAPI_CERTIFICATE = 1,
  TVCAPI_PKCS7 = 4,
  TVCAPI_SIGNER_INFO = 5,
  TVCAPI_PRIVATE_KEY = 6,
  TVCAPI_PUBLIC_KEY = 7,
  TVCAPI_STORE_LIST = 8
};

/* A byte string shaped like CryptoAPI's CRYPT_DATA_BLOB. As an output: a null pointer lets the
 * operation allocate (the caller frees with TVXCAPI_FreeBlob); otherwise count is the capacity
 * of the caller's buffer. */
typedef struct TVCAPI_BLOB {
  uint32_t count;
  uint8_t* data;
} TVCAPI_BLOB;

typedef struct TVCAPIHandle TVCAPIHandle;
typedef struct TVCAPIKeyRecord TVCAPIKeyRecord;

/* Coder table of a handle kind: encode, decode, two further entries, release, one absent. */
typedef struct TVCAPICoder {
  int32_t (*encode)(TVCAPIHandle* handle, TVCAPI_BLOB* blob, uint32_t options,
                    const int32_t* armour);
  int32_t (*decode)(TVCAPIHandle** out, const uint8_t* data, uint32_t length, uint32_t options);
  int32_t (*third)(void);
  int32_t (*fourth)(void);
  void (*release)(TVCAPIHandle* handle);
  void* absent;
} TVCAPICoder;

/* Key-operation table of a key handle. */
typedef struct TVCAPIKeyOps {
  int32_t (*encrypt)(TVCAPIHandle* key, const uint8_t* data, uint32_t length, uint32_t reserved,
                     TVCAPI_BLOB* blob);
  int32_t (*decrypt)(TVCAPIHandle* key, const uint8_t* data, uint32_t length, uint32_t reserved,
                     TVCAPI_BLOB* blob);
  int32_t (*sign)(TVCAPIHandle* key, const uint8_t* input, uint32_t length, uint32_t options,
                  TVCAPI_BLOB* signature);
  int32_t (*verify)(TVCAPIHandle* key, const uint8_t* signature, uint32_t signatureLength,
                    const uint8_t* input, uint32_t length, uint32_t options);
  int32_t (*keySize)(TVCAPIHandle* key);
  int32_t (*sixth)(void);
} TVCAPIKeyOps;

/* The one handle type: what it holds, the object, its coder and its key operations. A PKCS#7
 * handle keeps the message's encoded form in the fourth field instead. */
struct TVCAPIHandle {
  uint32_t type;
  void* data;
  const TVCAPICoder* coder;
  union {
    const TVCAPIKeyOps* keyOps;
    TVCAPI_BLOB* encoded;
  };
};

extern const TVCAPICoder tvxCAPICertificateCoder;
extern const TVCAPICoder tvxCAPIPrivateKeyCoder;
extern const TVCAPICoder tvxCAPIPublicKeyCoder;
extern const TVCAPICoder tvxCAPIPKCS7Coder;
extern const TVCAPICoder tvxCAPISignerInfoCoder;
extern const TVCAPIKeyOps tvxCAPIPrivateKeyOps;
extern const TVCAPIKeyOps tvxCAPIPublicKeyOps;

/* Store sources of TVXCAPI_LoadStore, opened in this order. */
enum {
  TVCAPI_SYSTEM_ROOT = 0x1,
  TVCAPI_SYSTEM_CA = 0x2,
  TVCAPI_SYSTEM_MY = 0x4,
  TVCAPI_SYSTEM_ADDRESS_BOOK = 0x8,
  TVCAPI_MACHINE_ROOT = 0x10,
  TVCAPI_MACHINE_CA = 0x20,
  TVCAPI_MACHINE_MY = 0x40,
  TVCAPI_MACHINE_ADDRESS_BOOK = 0x80,
  TVCAPI_USER_ROOT = 0x100,
  TVCAPI_USER_CA = 0x200,
  TVCAPI_USER_MY = 0x400,
  TVCAPI_USER_ADDRESS_BOOK = 0x800,
  TVCAPI_USER_REQUEST = 0x100000,
  TVCAPI_STORE_FILE = 0x400000
};
enum { TVCAPI_OPEN_WRITABLE = 0x80 }; /* options of TVXCAPI_LoadStore */
enum {                                /* options of TVXCAPI_LoadStoreFromCSP */
       TVCAPI_CSP_VERIFY_CONTEXT = 0x80,
       TVCAPI_CSP_EXCHANGE_KEY_ONLY = 0x20
};

/* Lookup flags. */
enum {
  TVCAPI_CHOOSE = 0x1,
  TVCAPI_CHOOSE_TAKE_SINGLE = 0x2,
  TVCAPI_BY_NOT_AFTER = 0x4,
  TVCAPI_EARLIEST = 0x8,
  TVCAPI_VALID_NOW = 0x10,
  TVCAPI_LOOSE_MATCH = 0x80000,
  TVCAPI_FROM_STORE_FILE = 0x400000
};

/* Option word of signing and verifying. */
enum {
  TVCAPI_HASH_SHA1 = 0,
  TVCAPI_HASH_MD5 = 1,
  TVCAPI_HASH_SHA1_TOO = 2,
  TVCAPI_HASH_DATA = 0x10000,
  TVCAPI_NO_HASH_OID = 0x20000
};
enum { TVCAPI_CSP_ASKS_PIN = 0x1000 }; /* option of TVXCAPI_SetPrivateKeyPin */
enum { TVCAPI_TEXT_OUTPUT = 0x1000, TVCAPI_TEXT_INPUT = 0x2000 }; /* coder options */

/* Handles, blobs, strings. */
int32_t tvxCAPICreateHandle(TVCAPIHandle** out, uint32_t type, void* data, const TVCAPICoder* coder,
                            const TVCAPIKeyOps* keyOps);
void TVXCAPI_FreeHandle(TVCAPIHandle* handle);
void TVXCAPI_FreeBlob(TVCAPI_BLOB* blob);
void TVXCAPI_Free(void* memory);

/* Stores and certificates. */
int32_t TVXCAPI_LoadStore(TVCAPIHandle** out, uint32_t sources, uint32_t options);
int32_t TVXCAPI_LoadStoreFromStoreFile(TVCAPIHandle** out);
int32_t TVXCAPI_LoadStoreFromCSP(TVCAPIHandle** out, const char* providerName, uint32_t options);
int32_t TVXCAPI_CertGetSubject(TVCAPIHandle* cert, uint32_t reserved, char** text);
int32_t TVXCAPI_CertGetIssuer(TVCAPIHandle* cert, uint32_t reserved, char** text);
int32_t TVXCAPI_CertGetSerialNumber(TVCAPIHandle* cert, uint32_t reserved, TVCAPI_BLOB* blob);
int32_t TVXCAPI_CertGetProviderName(TVCAPIHandle* cert, char** providerName, char** containerName);
void TVXCAPI_SetDialogMessage(const char* text, uint32_t length);
void TVXCAPI_SetDebugFlag(int32_t flag);
/* A short English text for a result code; null for a number that is not one. */
const char* TVXCAPI_CodeText(int32_t code);
void tvxCAPIDebugMessage(const char* format, ...);

/* Lookup. */
int32_t TVXCAPI_GetCertificate(TVCAPIHandle* store, const char* subjectSpec, const char* issuerSpec,
                               uint32_t flags, uint32_t keyUsage, TVCAPIHandle** cert);
int32_t TVXCAPI_GetCertificateFromStores(const char* subjectSpec, const char* issuerSpec,
                                         uint32_t flags, uint32_t keyUsage, TVCAPIHandle** cert);

/* Keys. */
int32_t TVXCAPI_GetPrivateKey(TVCAPIHandle* cert, TVCAPIHandle** key);
int32_t TVXCAPI_SetPrivateKeyPin(TVCAPIHandle* key, const char* pin, uint32_t options);
int32_t TVXCAPI_PureSign(TVCAPIHandle* key, const uint8_t* input, uint32_t length, uint32_t options,
                         TVCAPI_BLOB* signature);
int32_t TVXCAPI_PureVerify(TVCAPIHandle* key, const uint8_t* signature, uint32_t signatureLength,
                           const uint8_t* input, uint32_t length, uint32_t options);
int32_t TVXCAPI_PublicEncrypt(TVCAPIHandle* key, const uint8_t* data, uint32_t length,
                              uint32_t reserved, TVCAPI_BLOB* blob);
int32_t TVXCAPI_PrivateDecrypt(TVCAPIHandle* key, const uint8_t* ciphertext, uint32_t length,
                               uint32_t reserved, TVCAPI_BLOB* blob);
int32_t TVXCAPI_KeySize(TVCAPIHandle* key); /* bytes, or -1 */
int32_t TVXCAPI_AcquireCSP(const char* providerName);
void TVXCAPI_ReleaseCSP(uint32_t reserved);
int32_t ExportRSAPrivateKeyDER(const TVCAPIKeyRecord* key, uint8_t* buffer, int32_t capacity);
int32_t ExportRSAPublicKeyInfoDER(const TVCAPIKeyRecord* key, uint8_t* buffer, int32_t capacity);
TVCAPIKeyRecord* ImportRSAPrivateKeyDER(const uint8_t* der, uint32_t length);
TVCAPIKeyRecord* ImportRSAPublicKeyInfoDER(const uint8_t* der, uint32_t length);

/* Coders. */
int32_t tvbase64_encode(const uint8_t* data, uint32_t length, char** text, uint32_t* count);
int32_t tvbase64_decode(const char* text, uint32_t length, uint8_t** bytes, uint32_t* count);
int32_t TVXCAPI_Encode(const uint8_t* data, uint32_t length, TVCAPI_BLOB* blob, const char* label);
int32_t TVXCAPI_Decode(const char* text, uint32_t length, TVCAPI_BLOB* blob, const char* labels);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_TVCAPI_H */
