// The cryptographic dispatcher: encrypt, decrypt, sign and verify with a key found by label.
#include <algorithm>
#include <array>

#include "token/object_access.h"
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::call;

constexpr std::size_t kBlock = 8;             // DES block
constexpr std::size_t kRsaPkcsOverhead = 11;  // PKCS#1 v1.5 padding takes at least 11 bytes

struct Mechanism {
  std::uint32_t algorithm;
  CK_MECHANISM_TYPE type;
  bool zeroIv;
};

constexpr std::array<Mechanism, 7> kMechanisms = {{
    {kRsaPkcs, CKM_RSA_PKCS, false},
    {kDesEcb, CKM_DES_ECB, false},
    {kDesCbc, CKM_DES_CBC, true},
    {kDesCbcPad, CKM_DES_CBC_PAD, true},
    {kDes3Ecb, CKM_DES3_ECB, false},
    {kDes3Cbc, CKM_DES3_CBC, true},
    {kDes3CbcPad, CKM_DES3_CBC_PAD, true},
}};

const Mechanism* mechanismFor(std::uint32_t algorithm) {
  for (const Mechanism& mechanism : kMechanisms) {
    if (mechanism.algorithm == algorithm) return &mechanism;
  }
  return nullptr;
}

// padForCipher applies the system's own block padding: the input, zeros, and a last byte of
// 8 - (length mod 8), always 9 to 16 bytes longer than the input.
Bytes padForCipher(std::span<const std::uint8_t> input) {
  Bytes padded(input.size() - input.size() % kBlock + 2 * kBlock, 0);
  std::copy(input.begin(), input.end(), padded.begin());
  padded.back() = static_cast<std::uint8_t>(kBlock - input.size() % kBlock);
  return padded;
}

// removeCipherPadding drops (last byte + 8) bytes. A last byte above 8, or more to drop than
// there is, is no padding of ours: the decryption is refused rather than cut blindly.
bool removeCipherPadding(Bytes& output) {
  if (output.empty() || output.back() > kBlock) return false;
  const std::size_t padding = output.back() + kBlock;
  if (padding > output.size()) return false;
  output.resize(output.size() - padding);
  return true;
}

// reinitialised tells whether the second init left an operation to finish. It is made for
// modules that end the operation after the length query; a module that kept it answers
// CKR_OPERATION_ACTIVE, and the kept operation serves.
bool reinitialised(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_OPERATION_ACTIVE;
}

// twoPass runs init, the single-part call with no output to learn the length, and the real call
// into an output of that length.
template <class Init, class Single>
std::uint32_t twoPass(Init init, Single single, CK_SESSION_HANDLE session, CK_MECHANISM& mechanism,
                      CK_OBJECT_HANDLE key, std::span<const std::uint8_t> data, Bytes& output) {
  auto* bytes = const_cast<CK_BYTE*>(data.data());
  const auto length = static_cast<CK_ULONG>(data.size());
  if (call(init, session, &mechanism, key) != CKR_OK) return +TokenCode::kCryptFailed;
  CK_ULONG outputLength = 0;
  if (call(single, session, bytes, length, nullptr, &outputLength) != CKR_OK)
    return +TokenCode::kCryptFailed;
  if (detail::libraryTable.p11CryptReinit == 1 &&
      !reinitialised(call(init, session, &mechanism, key))) {
    return +TokenCode::kCryptFailed;
  }
  Bytes result(outputLength, 0);
  if (call(single, session, bytes, length, result.data(), &outputLength) != CKR_OK ||
      outputLength > result.size()) {
    return +TokenCode::kCryptFailed;
  }
  result.resize(outputLength);
  output = std::move(result);
  return +TokenCode::kTokenOk;
}

std::uint32_t requireOperation(std::uint32_t operation, bool rsa) {
  const auto& f = detail::entryPoints();
  if (auto code = detail::requireSearch()) return code;
  if (rsa) {
    if (auto code = detail::requireEntryPoints(f.C_GetAttributeValue)) return code;
  }
  switch (operation) {
    case kEncrypt:
      return detail::requireEntryPoints(f.C_EncryptInit, f.C_Encrypt);
    case kDecrypt:
      return detail::requireEntryPoints(f.C_DecryptInit, f.C_Decrypt);
    case kSign:
      return detail::requireEntryPoints(f.C_SignInit, f.C_Sign);
    default:
      return detail::requireEntryPoints(f.C_VerifyInit, f.C_Verify);
  }
}

// checkRsaLength compares the input with the modulus size; only the size is needed, so the
// modulus length is queried without reading the value.
std::uint32_t checkRsaLength(TokenSession* session, CK_OBJECT_HANDLE key, std::uint32_t operation,
                             std::size_t inputLength, std::size_t signatureLength) {
  CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
  if (call(detail::entryPoints().C_GetAttributeValue, detail::sessionHandle(session), key, &modulus,
           CK_ULONG{1}) != CKR_OK ||
      modulus.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    return +TokenCode::kAttributeReadFailed;
  }
  const std::size_t modulusBytes = modulus.ulValueLen;
  bool fits = false;
  switch (operation) {
    case kEncrypt:
    case kSign:
      fits = inputLength + kRsaPkcsOverhead <= modulusBytes;
      break;
    case kDecrypt:
      fits = inputLength == modulusBytes;
      break;
    default:
      fits = signatureLength == modulusBytes;
      break;
  }
  return fits ? +TokenCode::kTokenOk : +TokenCode::kBadInputLength;
}

std::uint32_t crypt(TokenSession* session, std::uint32_t operation, std::uint32_t algorithm,
                    std::string_view keyLabel, std::span<const std::uint8_t> input, Bytes& output) {
  const bool rsa = algorithm == kRsaPkcs;
  if (auto code = requireOperation(operation, rsa)) return code;
  // The public key serves RSA encryption and verification; everything else uses the key of
  // the session's privacy.
  const std::uint32_t privateObjects = detail::tokenState.privateObjects;
  const bool publicKeyUse = rsa && (operation == kEncrypt || operation == kVerify);
  AttributeTemplate tmpl;
  p11_LabelTemplate(publicKeyUse ? (privateObjects == 0 ? 1 : 0) : privateObjects, keyLabel, tmpl);
  if (auto code = detail::findExactlyOne(session, tmpl, 3)) return code;
  const CK_OBJECT_HANDLE key = detail::objectHandles[0];

  const Mechanism* chosen = mechanismFor(algorithm);
  if (chosen == nullptr) return +TokenCode::kUnknownOperation;
  std::array<CK_BYTE, kBlock> iv{};
  CK_MECHANISM mechanism{chosen->type, chosen->zeroIv ? iv.data() : nullptr,
                         chosen->zeroIv ? static_cast<CK_ULONG>(iv.size()) : 0};

  if (rsa) {
    if (auto code = checkRsaLength(session, key, operation, input.size(), output.size())) {
      return code;
    }
  }
  Bytes padded;
  if (!rsa && operation != kDecrypt) {
    padded = padForCipher(input);
    input = padded;
  }

  const auto& f = detail::entryPoints();
  const CK_SESSION_HANDLE handle = detail::sessionHandle(session);
  switch (operation) {
    case kEncrypt:
      return twoPass(f.C_EncryptInit, f.C_Encrypt, handle, mechanism, key, input, output);
    case kSign:
      return twoPass(f.C_SignInit, f.C_Sign, handle, mechanism, key, input, output);
    case kDecrypt: {
      Bytes plain;
      if (auto code = twoPass(f.C_DecryptInit, f.C_Decrypt, handle, mechanism, key, input, plain)) {
        return code;
      }
      if (!rsa && !removeCipherPadding(plain)) return +TokenCode::kCryptFailed;
      output = std::move(plain);
      return +TokenCode::kTokenOk;
    }
    default: {
      // The signature to check is what the caller put in output.
      if (call(f.C_VerifyInit, handle, &mechanism, key) != CKR_OK) return +TokenCode::kCryptFailed;
      return call(f.C_Verify, handle, const_cast<CK_BYTE*>(input.data()),
                  static_cast<CK_ULONG>(input.size()), output.data(),
                  static_cast<CK_ULONG>(output.size())) == CKR_OK
                 ? +TokenCode::kTokenOk
                 : +TokenCode::kCryptFailed;
    }
  }
}

}  // namespace

std::uint32_t p11_Crypt(TokenSession* session, std::uint32_t operation, std::uint32_t algorithm,
                        std::string_view keyLabel, std::span<const std::uint8_t> input,
                        Bytes& output) {
  if (!detail::libraryLoaded()) return +TokenCode::kNoLibrary;
  if (operation < kEncrypt || operation > kVerify) return +TokenCode::kUnknownOperation;
  return detail::guardMemory(
      [&] { return crypt(session, operation, algorithm, keyLabel, input, output); });
}

}  // namespace kestrune::token
