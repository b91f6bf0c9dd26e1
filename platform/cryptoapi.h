// The certificate-store and key-provider interface (CryptoAPI) that TVCAPI is written against.
//
// On Windows this is wincrypt itself. On Linux the same subset is declared here, with the same
// names, types, flag values, byte orders, return values and last-error codes, and implemented
// in platform/linux/cryptoapi/ on OpenSSL and the token layer:
//   - system stores are folders ($XDG_DATA_HOME/kestrune/stores/CurrentUser/<name>/, the
//     machine's under $KESTRUNE_MACHINE_STORES or /etc/kestrune/stores/), one <thumbprint>.der
//     per certificate and a <thumbprint>.json for its key-provider property;
//   - providers are named in $XDG_CONFIG_HOME/kestrune/providers.json (a PKCS#11 module and
//     token), besides the built-in software provider whose containers are PKCS#8 PEM files.
// TVCAPI includes only this header, so the Windows build compiles it unchanged.
#pragma once

#ifdef _WIN32

// wincrypt's NTE_ and SCARD_ codes are HRESULTs (signed): compare GetLastError() with
// static_cast<DWORD>(code). Its structure types X509_NAME and PKCS7_SIGNER_INFO are macros
// over OpenSSL's type names: include this header before any OpenSSL header, which then drops
// the two macros (the other order breaks OpenSSL's declarations).
#include <windows.h>
#include <wincrypt.h>

#else

#include <cstdint>

// Win32 base types, as the 32-bit and 64-bit Windows ABIs size them (DWORD and LONG are
// 32-bit). Text of the wide (W) interfaces is wchar_t: UTF-16 on Windows, UTF-32 here.
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using ULONG_PTR = std::uintptr_t;
using WCHAR = wchar_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBOOL = BOOL*;
using HWND = void*;
using LANGID = WORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define WINAPI

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

// ---- Last error (thread-local, as GetLastError) ----
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Error codes ----
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_CANCELLED = 1223;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005;
inline constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003;
inline constexpr DWORD NTE_BAD_LEN = 0x80090004;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
inline constexpr DWORD NTE_BAD_UID = 0x80090001;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_NO_KEY = 0x8009000D;
inline constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
inline constexpr DWORD NTE_EXISTS = 0x8009000F;
inline constexpr DWORD NTE_PERM = 0x80090010;
inline constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000C;
inline constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017;
inline constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
inline constexpr DWORD NTE_PROV_DLL_NOT_FOUND = 0x8009001E;
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
inline constexpr DWORD NTE_KEYSET_ENTRY_BAD = 0x8009001A;
inline constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
inline constexpr DWORD NTE_FAIL = 0x80090020;
inline constexpr DWORD NTE_BAD_PROVIDER = 0x80090018;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;
inline constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
inline constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
inline constexpr DWORD CRYPT_E_FILE_ERROR = 0x80092003;
inline constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
inline constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100;
inline constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103;
inline constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
inline constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
inline constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006E;
inline constexpr DWORD SCARD_E_NO_SMARTCARD = 0x8010000C;

// ---- Blobs and certificate structures (wincrypt's layouts) ----
struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB*;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using PCERT_NAME_BLOB = CRYPTOAPI_BLOB*;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_ATTR_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
};
using PCERT_EXTENSION = CERT_EXTENSION*;

// SerialNumber is least significant byte first, as CryptoAPI keeps integers; Issuer and
// Subject are the names' DER.
struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

using HCERTSTORE = void*;
using HCRYPTMSG = void*;
using HCRYPTPROV = ULONG_PTR;
using HCRYPTPROV_LEGACY = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using ALG_ID = unsigned int;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

struct CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
};
using PCERT_RDN_ATTR = CERT_RDN_ATTR*;

struct CERT_RDN {
  DWORD cRDNAttr;
  PCERT_RDN_ATTR rgRDNAttr;
};
using PCERT_RDN = CERT_RDN*;

struct CERT_NAME_INFO {
  DWORD cRDN;
  PCERT_RDN rgRDN;
};
using PCERT_NAME_INFO = CERT_NAME_INFO*;

struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
};

struct CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;

// Key blobs: BLOBHEADER, then RSAPUBKEY, then the little-endian components.
struct BLOBHEADER {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
};
struct RSAPUBKEY {
  DWORD magic;  // "RSA1" 0x31415352 public, "RSA2" 0x32415352 private
  DWORD bitlen;
  DWORD pubexp;
};

// ---- Encoding types and structure types of CryptEncodeObject / CryptDecodeObject ----
inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
#define X509_NAME (reinterpret_cast<LPCSTR>(7))
#define X509_PUBLIC_KEY_INFO (reinterpret_cast<LPCSTR>(8))
#define PKCS7_SIGNER_INFO (reinterpret_cast<LPCSTR>(500))
inline constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;

// ---- Stores ----
#define CERT_STORE_PROV_MEMORY (reinterpret_cast<LPCSTR>(2))
#define CERT_STORE_PROV_FILENAME_W (reinterpret_cast<LPCSTR>(8))
#define CERT_STORE_PROV_SYSTEM_W (reinterpret_cast<LPCSTR>(10))
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 1u << 16;
inline constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 2u << 16;
inline constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
inline constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
inline constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
inline constexpr DWORD CERT_STORE_ADD_NEW = 1;
inline constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
inline constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
inline constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x1;
inline constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
inline constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;

// ---- Names as text ----
inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;
inline constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
inline constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
inline constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
inline constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
inline constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
inline constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
// T61String values are read as 8-bit characters only, not first tried as UTF-8.
inline constexpr DWORD CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG = 0x00010000;
inline constexpr DWORD CERT_RDN_ANY_TYPE = 0;
inline constexpr DWORD CERT_RDN_ENCODED_BLOB = 1;
inline constexpr DWORD CERT_RDN_OCTET_STRING = 2;
inline constexpr DWORD CERT_RDN_NUMERIC_STRING = 3;
inline constexpr DWORD CERT_RDN_PRINTABLE_STRING = 4;
inline constexpr DWORD CERT_RDN_TELETEX_STRING = 5;
inline constexpr DWORD CERT_RDN_T61_STRING = 5;
inline constexpr DWORD CERT_RDN_VIDEOTEX_STRING = 6;
inline constexpr DWORD CERT_RDN_IA5_STRING = 7;
inline constexpr DWORD CERT_RDN_GRAPHIC_STRING = 8;
inline constexpr DWORD CERT_RDN_VISIBLE_STRING = 9;
inline constexpr DWORD CERT_RDN_GENERAL_STRING = 10;
inline constexpr DWORD CERT_RDN_UNIVERSAL_STRING = 11;
inline constexpr DWORD CERT_RDN_BMP_STRING = 12;
inline constexpr DWORD CERT_RDN_UNICODE_STRING = 12;
inline constexpr DWORD CERT_RDN_UTF8_STRING = 13;

// ---- Providers, keys and hashes ----
inline constexpr DWORD PROV_RSA_FULL = 1;
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;
inline constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
inline constexpr DWORD CRYPT_FIRST = 1;
inline constexpr DWORD CRYPT_NEXT = 2;
inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;
inline constexpr DWORD PP_ENUMCONTAINERS = 2;
inline constexpr DWORD PP_NAME = 4;
inline constexpr DWORD PP_CONTAINER = 6;
inline constexpr DWORD PP_KEYSET_SEC_DESCR = 8;
inline constexpr DWORD KP_ALGID = 7;
inline constexpr DWORD KP_KEYLEN = 9;
inline constexpr DWORD KP_CERTIFICATE = 26;
inline constexpr DWORD KP_KEYEXCHANGE_PIN = 32;
inline constexpr DWORD KP_SIGNATURE_PIN = 33;
inline constexpr DWORD HP_ALGID = 1;
inline constexpr DWORD HP_HASHVAL = 2;
inline constexpr DWORD HP_HASHSIZE = 4;
inline constexpr DWORD CRYPT_NOHASHOID = 0x00000001;
inline constexpr BYTE PUBLICKEYBLOB = 0x6;
inline constexpr BYTE PRIVATEKEYBLOB = 0x7;
inline constexpr BYTE CUR_BLOB_VERSION = 2;
inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr ALG_ID CALG_SHA = CALG_SHA1;
inline constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
inline constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
inline constexpr DWORD DACL_SECURITY_INFORMATION = 0x4;
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_DEVICE_SERIAL_NUMBER "2.5.4.5"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_LOCALITY_NAME "2.5.4.7"
#define szOID_STATE_OR_PROVINCE_NAME "2.5.4.8"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"

// ---- Messages (PKCS#7) ----
inline constexpr DWORD CMSG_ENCODED_MESSAGE = 29;
inline constexpr DWORD CMSG_TYPE_PARAM = 1;
inline constexpr DWORD CMSG_CONTENT_PARAM = 2;
struct CMSG_STREAM_INFO;
using PCMSG_STREAM_INFO = CMSG_STREAM_INFO*;

// ---- Certificate stores and contexts ----
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY prov, LPCSTR subsystemProtocol);
HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD encodingType, HCRYPTPROV_LEGACY prov,
                         DWORD flags, const void* para);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
PCCERT_CONTEXT CertCreateCertificateContext(DWORD encodingType, const BYTE* encoded,
                                            DWORD encodedLength);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
BOOL CertCompareCertificate(DWORD encodingType, PCERT_INFO first, PCERT_INFO second);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                       DWORD* length);
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD flags,
                                       const void* data);
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context,
                                      DWORD addDisposition, PCCERT_CONTEXT* storeContext);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encodingType, const BYTE* encoded,
                                      DWORD encodedLength, DWORD addDisposition,
                                      PCCERT_CONTEXT* storeContext);
// Deletes the certificate from its store and frees the context, whatever the outcome.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context);
DWORD CertNameToStrA(DWORD encodingType, PCERT_NAME_BLOB name, DWORD strType, LPSTR text,
                     DWORD textLength);
// -1 before NotBefore, 1 after NotAfter, 0 inside; a null time is now.
LONG CertVerifyTimeValidity(LPFILETIME time, PCERT_INFO certInfo);
BOOL CertGetIntendedKeyUsage(DWORD encodingType, PCERT_INFO certInfo, BYTE* usage,
                             DWORD usageLength);

// ---- Encoding and decoding of structures ----
BOOL CryptEncodeObject(DWORD encodingType, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLength);
BOOL CryptDecodeObject(DWORD encodingType, LPCSTR structType, const BYTE* encoded,
                       DWORD encodedLength, DWORD flags, void* structInfo, DWORD* structLength);

// ---- Providers, keys, hashes ----
BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType,
                          DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key);
BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, DWORD blobType, DWORD flags, BYTE* data,
                    DWORD* length);
BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD length, HCRYPTKEY publicKey,
                    DWORD flags, HCRYPTKEY* key);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);
// Signatures come out and go in little-endian, as CryptoAPI writes them.
BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR description, DWORD flags,
                    BYTE* signature, DWORD* length);
BOOL CryptVerifySignatureA(HCRYPTHASH hash, const BYTE* signature, DWORD length,
                           HCRYPTKEY publicKey, LPCSTR description, DWORD flags);
BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                  DWORD* length, DWORD bufferLength);
BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                  DWORD* length);

// ---- PKCS#7 messages ----
HCRYPTMSG CryptMsgOpenToDecode(DWORD encodingType, DWORD flags, DWORD msgType,
                               HCRYPTPROV_LEGACY prov, PCERT_INFO recipient,
                               PCMSG_STREAM_INFO streamInfo);
BOOL CryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD length, BOOL final);
BOOL CryptMsgGetParam(HCRYPTMSG msg, DWORD param, DWORD index, void* data, DWORD* length);
BOOL CryptMsgClose(HCRYPTMSG msg);

// ---- Security descriptors: the null DACL that opens a machine key set to every user ----
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  void* Owner;
  void* Group;
  void* Sacl;
  void* Dacl;
};
using PSECURITY_DESCRIPTOR = void*;
struct ACL;
using PACL = ACL*;
inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                               BOOL daclDefaulted);

// ---- The rest of Win32 that TVCAPI uses ----
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
// The ANSI code page is 950 (Big5) here, the component's code page on Windows. Malformed
// UTF-8 reads as U+FFFD unless MB_ERR_INVALID_CHARS is given, which makes it fail.
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int wideLength);
// Towards 950 a character Big5 lacks becomes Windows' best fit for it (é as "e") unless
// WC_NO_BEST_FIT_CHARS is given, else defaultChar ("?" when null); *usedDefault tells whether
// the default was written. For CP_UTF8, flags must be 0 and both pointers null.
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                        int length, LPCSTR defaultChar, LPBOOL usedDefault);
DWORD GetTempPathA(DWORD length, LPSTR buffer);
inline constexpr UINT MB_OK = 0;
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void GetSystemTimeAsFileTime(LPFILETIME time);
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* system);
BOOL FileTimeToLocalFileTime(const FILETIME* time, LPFILETIME local);
LANGID GetSystemDefaultLangID();

#endif  // _WIN32
