// The token layer: PKCS#11 modules loaded by name, the one process-wide session, objects
// found by label, key pairs and signing on the token.
//
// Every function returns the number of a result code of this layer (+TokenCode::kNotFound is
// 109) and records the CK_RV of its last module call for p11_GetLastRV. All state is process-wide
// and unlocked: the control is apartment-threaded and every call comes on one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "token/pkcs11.h"

namespace kestrune::token {

using Bytes = std::vector<std::uint8_t>;

// Result codes of the token layer.
enum class TokenCode : std::uint32_t {
  kTokenOk = 0,
  kInitializeFailed = 101,     // C_Initialize failed, or a session was asked for with no slot
  kLoginRefused = 102,         // login refused for any reason other than a locked PIN
  kPinChangeRefused = 103,     // C_SetPIN failed
  kNoTokenPresent = 105,       // no slot with a token present
  kSearchFailed = 106,         // object search failed
  kLabelExists = 107,          // an object with that label already exists
  kCreateFailed = 108,         // object creation failed
  kNotFound = 109,             // slot list unreadable, or no object with that label
  kAmbiguousLabel = 110,       // more than one object with that label
  kAttributeReadFailed = 111,  // attribute read failed
  kNoMemory = 115,             // memory exhausted
  kCryptFailed = 116,          // key generation or a cryptographic operation failed
  kFinalizeFailed = 117,       // C_Finalize failed
  kOpenSessionFailed = 118,    // session couldn't be opened or its information read
  kCloseSessionFailed = 119,   // C_CloseSession failed
  kDestroyFailed = 121,        // object deletion failed
  kModulusTooLarge = 122,      // requested modulus above 2048 bits
  kUnknownOperation = 124,     // unrecognised operation or algorithm code
  kBadInputLength = 126,       // input length doesn't fit the RSA modulus
  kLoadFailed = 128,           // the library couldn't be loaded
  kNoLibrary = 129,            // no library loaded in the current row
  kEntryPointMissing = 130,    // the module doesn't export a function the operation needs
  kTableFull = 131,            // eight libraries already loaded
  kRenameFailed = 132,         // object rename failed
  kPinLocked = 133,            // CKR_PIN_LOCKED
};

// A short English text for the code; empty for a number that is not one of this layer's.
std::string_view tokenCodeText(TokenCode code);

// The number a function returns for a code.
constexpr std::uint32_t operator+(TokenCode code) {
  return static_cast<std::uint32_t>(code);
}

// Object kinds of the enumeration.
enum ObjectKind : std::uint32_t {
  kKindData = 600,
  kKindPublicKey = 601,
  kKindPrivateKey = 602,
  kKindDesKey = 603,
  kKindDes3Key = 604,
  kKindCertificate = 605,
};

// Operations and algorithms of the cryptographic dispatcher.
enum CryptOperation : std::uint32_t { kEncrypt = 513, kDecrypt = 514, kSign = 515, kVerify = 516 };
enum CryptAlgorithm : std::uint32_t {
  kRsaPkcs = 500,
  kDesEcb = 501,
  kDesCbc = 502,
  kDesCbcPad = 503,
  kDes3Ecb = 504,
  kDes3Cbc = 505,
  kDes3CbcPad = 506,
};

// The one session of the process: its handle and the information read right after opening.
struct TokenSession {
  CK_SESSION_HANDLE handle = 0;
  CK_SESSION_INFO info{};
};

// One object found by p11_ListObjects. Certificates fill subject, id, issuer, serialNumber and
// value; data objects fill value.
struct TokenObjectRecord {
  std::string label;  // at most 255 bytes
  std::uint32_t kind = 0;
  Bytes subject;
  Bytes id;
  Bytes issuer;
  Bytes serialNumber;
  Bytes value;
};

// The key that token_RsaSign uses, filled by token_GetKeyInfo.
struct TokenKeyInfo {
  TokenSession* session = nullptr;
  char label[128] = {};
  std::uint32_t bits = 0;
  std::uint32_t bytes = 0;  // modulus size, and so the signature length
  std::uint32_t six = 6;
};

constexpr std::size_t kTemplateEntries = 32;
constexpr std::size_t kHandleBufferEntries = 256;
using AttributeTemplate = std::array<CK_ATTRIBUTE, kTemplateEntries>;

// Library table and sessions.
std::uint32_t p11_LoadLibrary(const char* name);
void p11_SetReinit(std::int32_t flag);
void p11_UnloadAll();
std::uint32_t p11_Initialize(std::uint32_t slotIndex);
std::uint32_t p11_Finalize();

// One module may have several users in the process: the session above and the key providers
// of the CryptoAPI layer. Cryptoki's initialisation belongs to the process, so the first user
// to come initialises the module and the last to go finalises it. A module is known by its
// C_Initialize. joinModule gives C_Initialize's answer, CKR_OK when another user has the
// module initialised already; a user that joined leaves once. leaveModule calls finalize for
// the last user, unless something outside these users had initialised the module.
using ModuleCall = std::function<CK_RV()>;
CK_RV joinModule(CK_C_Initialize module, const ModuleCall& initialize);
CK_RV leaveModule(CK_C_Initialize module, const ModuleCall& finalize);
std::uint32_t p11_OpenSession(TokenSession* session);
std::uint32_t p11_CloseSession(TokenSession* session);
// PINs (p11_Login, p11_ChangePin, token_Open): the layer hands the caller's zero-terminated
// buffer to the module and keeps no copy of it anywhere, so wiping it stays the caller's job.
std::uint32_t p11_Login(TokenSession* session, const char* pin);
std::uint32_t p11_SetPrivateObjects(std::uint32_t flag);
std::uint32_t p11_ChangePin(TokenSession* session, const char* oldPin, const char* newPin);
CK_RV p11_GetLastRV();
std::uint32_t token_SetSlotIndex(std::uint32_t index);
std::uint32_t token_Open(TokenSession* session, const char* pin);
void token_Close(TokenSession* session);

// Templates and search. The object-handle buffer is process-wide; entry 0 is the object that
// an operation then works on.
std::uint32_t p11_SetTemplateEntry(AttributeTemplate& tmpl, std::size_t index,
                                   CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length);
void p11_LabelTemplate(std::uint32_t privateFlag, std::string_view label, AttributeTemplate& tmpl);
CK_RV p11_FindObjects(TokenSession* session, CK_OBJECT_HANDLE* handles, CK_ATTRIBUTE* tmpl,
                      CK_ULONG count, CK_ULONG* found);
CK_OBJECT_HANDLE* p11_HandleBuffer();

// Data objects by label. Values come back with exactly their length (value.size()).
std::uint32_t p11_CreateDataObject(TokenSession* session, std::string_view label,
                                   std::span<const std::uint8_t> value);
std::uint32_t p11_ReadDataValue(TokenSession* session, std::string_view label, Bytes& value);
std::uint32_t p11_ReadCertificateValue(TokenSession* session, std::string_view label, Bytes& value);
std::uint32_t p11_ReadDataApplication(TokenSession* session, std::string_view label, Bytes& value);
std::uint32_t p11_DestroyObject(TokenSession* session, std::string_view label);
std::uint32_t p11_ObjectExists(TokenSession* session, std::string_view label);
std::uint32_t p11_RenameObject(TokenSession* session, std::string_view oldLabel,
                               std::string_view newLabel);
std::uint32_t p11_ListObjects(TokenSession* session, std::uint32_t kind,
                              std::vector<TokenObjectRecord>& records);

// Keys and the cryptographic dispatcher.
std::uint32_t p11_GenerateKeyPair(TokenSession* session, std::string_view publicLabel,
                                  std::string_view privateLabel, std::uint32_t modulusBits);
// An output that is null isn't fetched.
std::uint32_t p11_GetPublicKeyParts(TokenSession* session, std::string_view label, Bytes* modulus,
                                    Bytes* exponent);
std::uint32_t p11_GetModulus(TokenSession* session, std::string_view label, Bytes& modulus);
std::uint32_t p11_Crypt(TokenSession* session, std::uint32_t operation, std::uint32_t algorithm,
                        std::string_view keyLabel, std::span<const std::uint8_t> input,
                        Bytes& output);
// token_GetKeyInfo returns 0, a read code, or -1 when keyInfo is null.
std::int32_t token_GetKeyInfo(TokenKeyInfo* keyInfo, TokenSession* session, std::string_view label,
                              std::int32_t withExponent);
// token_RsaSign signs a DER DigestInfo with the key of keyInfo (CKM_RSA_PKCS) and returns the
// signature length in bytes, or -1 on any failure. padding is ignored.
std::int32_t token_RsaSign(std::size_t length, const std::uint8_t* data, Bytes& signature,
                           const TokenKeyInfo* keyInfo, std::int32_t padding);

// A data object as it stands on the token, kept so that a delete-then-create that fails half
// way can put the object back exactly as it was.
struct DataObjectCopy {
  Bytes value;        // CKA_VALUE, exactly as stored
  Bytes application;  // CKA_APPLICATION
  bool isPrivate = false;
};
// p11_ReadDataObjectCopy reads value, application and private flag of the one data object with
// that label (searched as p11_ReadDataValue does): 0, 106, 109, 110, 111, 115.
std::uint32_t p11_ReadDataObjectCopy(TokenSession* session, std::string_view label,
                                     DataObjectCopy& copy);
// p11_RestoreDataObject creates a token data object with the label and exactly the copy's
// attributes (no zero byte added): 0; 106 when the search fails, 107 when a data object with
// that label and private flag exists, 108 when the creation fails.
std::uint32_t p11_RestoreDataObject(TokenSession* session, std::string_view label,
                                    const DataObjectCopy& copy);

// Diagnostics for tests and benchmarks: the table and the counters behind it.
std::uint32_t p11_LibraryCount();
std::int32_t p11_GetReinit();
std::uint32_t p11_GetPrivateObjects();
std::uint64_t p11_CallCount();  // module calls made since the process started

}  // namespace kestrune::token
