// TVFEDIMiniKeyCrypt: the control object that web pages and host programs script.
//
// Every method reports its outcome through its result and through lastErrorCode (read with
// getErrorCode); none throws. Texts come in as UTF-16 and go down to the token in code page
// 950; a text result is std::nullopt (the null BSTR) when the method fails.
//
// The token session and the PIN-verified flag are process-wide: every instance sees the
// logins and closings of the others, and destroying any instance closes the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/fixed_text.h"
#include "control/owned_record.h"

// Records of the FEDI layer and handles of the CryptoAPI layer that the control holds.
struct FEDI_CAPUBKEY;
struct FEDICERT;
struct FEDI_X509;
struct TVCAPIHandle;
// The CA exchange's answer envelope, and the X.509 name of the CA queries.
struct FEDI_MESSAGE;
struct X509_name_st;

namespace kestrune {

namespace token {
struct TokenSession;
}

class MethodFrame;

namespace control {
class CaExchange;
struct X509NameFree;
enum class ParkedFate;
}  // namespace control

// FediRecordRelease frees the FEDI records the control owns with their layer's release
// function, so an owner can be reset with a bare record of the layer.
struct FediRecordRelease {
  void operator()(FEDICERT* bag) const noexcept;
  void operator()(FEDI_CAPUBKEY* record) const noexcept;
};
template <class T>
using FediRecordPtr = std::unique_ptr<T, FediRecordRelease>;

// Codes of lastErrorCode.
enum ControlCode : std::int32_t {
  kOk = 0,
  kNotCompleted = 1,            // the operation did not complete
  kNoMemory = 2,                // memory exhausted; CA exchange -1
  kBadText = 3,                 // a text argument could not be converted; CA exchange -4
  kMalformedArgument = 4,       // bad hex, hash length, date; no or unusable answer
  kFileOpenFailed = 10,         // a file could not be opened or created
  kWriteFailed = 11,            // a file or token write failed or was short
  kReadFailed = 12,             // a token object or a file could not be read
  kEncodeFailed = 500,          // CA exchange -2, -3; an object could not be encoded
  kBase64Failed = 501,          // Base64 decoding or encoding failed
  kTextBufferFailed = 502,      // a text argument could not be converted into its buffer
  kResultTextFailed = 503,      // a result text could not be converted to a BSTR
  kNoSignature = 1003,          // the token did not produce a signature
  kRequestNotVerified = 1004,   // a fresh new-certificate request did not verify
  kTokenFailure = 1500,         // any other failure of the token library
  kTokenInitFailed = 1510,      // the token library could not be initialised
  kSlotListFailed = 1511,       // the slot list could not be read
  kSessionFailed = 1512,        // no session could be opened
  kPinRefused = 1513,           // the PIN was refused
  kDeleteFailed = 1514,         // an existing token object could not be deleted
  kKeyGenerationFailed = 1515,  // the key pair could not be generated
  kTokenMemoryFull = 1516,      // CKR_DEVICE_MEMORY after a failed write or key generation
  kPinLocked = 1517,            // the PIN is locked
  kUnexpectedAnswer = 2000,  // the authority answered with an unexpected type (2000 + n: status n)
  kCaExchange11 = 3000,      // CA exchange -11
  kCaExchange12 = 3001,      // CA exchange -12
  kCaExchange13 = 3002,      // CA exchange -13
  kUndecodable = 10001,      // a certificate, bundle or answer could not be decoded
  kBagCount = 10002,         // a bag holds no certificate, or not exactly one
  kNoPublicKey = 10003,      // no public key could be obtained from a certificate
  kCaRecordUndecodable = 10004,  // the built-in CA public-key record could not be decoded
  kSignatureInvalid = 10006,     // a certificate's signature does not verify with the CA's key
  kPinNotVerified = 10007,       // checkPassword first
  kKeyMismatch = 10008,          // a certificate's key does not match the token's key pair
  kTokenKeyUnreadable = 10009,   // the token's public key could not be read
  kSigningKeyMissing = 10010,    // the signing key was not found on the token
};

class TVFEDIMiniKeyCrypt {
 public:
  TVFEDIMiniKeyCrypt();
  ~TVFEDIMiniKeyCrypt();
  TVFEDIMiniKeyCrypt(const TVFEDIMiniKeyCrypt&) = delete;
  TVFEDIMiniKeyCrypt& operator=(const TVFEDIMiniKeyCrypt&) = delete;

  // Session methods.
  std::int32_t loadLib(std::u16string_view libname);
  void setTokenType(std::int32_t type);
  std::optional<std::u16string> getType();
  std::int32_t setCurrentSlot(std::int32_t slotNumber);
  std::int32_t checkPassword(std::u16string_view checkData);
  void close();
  std::int32_t getErrorCode();
  void setTestVersion(std::int32_t iTest);
  void setP11CryptReinit(std::int32_t reinit);
  void showDebugMessage(std::int32_t bShow);
  std::optional<std::u16string> TV_GETVersion(std::int32_t flag);

  // Certificate storage and inspection.
  std::int32_t loadCACert(std::u16string_view cafile);
  std::int32_t loadCACertB64(std::u16string_view certContent);
  std::int32_t loadCert(std::u16string_view certfile);
  std::int32_t loadCertB64(std::u16string_view certContent);
  std::int32_t loadMultiCertB64(std::u16string_view certContent);
  std::int32_t getCert(std::u16string_view outFile);
  std::int32_t getNewCert(std::u16string_view outFile);
  std::optional<std::u16string> getCertB64();
  std::optional<std::u16string> getNewCertB64();
  std::optional<std::u16string> getBeginDate();
  std::optional<std::u16string> getEndDate();
  std::optional<std::u16string> getBeginDateTime();
  std::optional<std::u16string> getEndDateTime();
  std::optional<std::u16string> getCertNotBefore(std::int32_t iFlags);
  std::optional<std::u16string> getCertNotAfter(std::int32_t iFlags);
  std::optional<std::u16string> getCModulus();
  std::optional<std::u16string> getCPublicExponent();
  std::optional<std::u16string> getCASID1();
  std::optional<std::u16string> getCASID2();

  // Identity and signing.
  std::int32_t setPassword(std::u16string_view oldpass, std::u16string_view newpass);
  std::int32_t makeCard(std::u16string_view UserID, std::u16string_view OrgID);
  std::int32_t setSID(std::u16string_view UserID, std::u16string_view OrgID);
  std::optional<std::u16string> getSID1();
  std::optional<std::u16string> getSID2();
  std::optional<std::u16string> getCSN();
  std::optional<std::u16string> getCardSN();
  std::int32_t setCardSN(std::u16string_view cardsn);
  std::optional<std::u16string> sign(std::u16string_view SourceData);
  std::optional<std::u16string> signB64(std::u16string_view SourceData);
  std::optional<std::u16string> signHash(std::u16string_view hexHash);

  // EDIFACT message signing.
  // FEDIMessageSign returns the message with its security envelope, signed with the token's
  // key, or nullopt with the reason in lastErrorCode.
  std::optional<std::u16string> FEDIMessageSign(std::u16string_view SourceData);

  // Certificate requests.
  // makeRequestCert writes the DER of a request to outFile: reqType 1 a new-certificate
  // request MACed under the pass phrase OptionalData, 2 an extension, 3 a revocation with the
  // reason OptionalData. Returns 0 or the failure's code; 1 for an unknown type.
  std::int32_t makeRequestCert(std::int32_t reqType, std::u16string_view outFile,
                               std::u16string_view OptionalData);

  // CA operations. Each makes one exchange with the authority whose initiation URL is caUrl
  // and keeps nothing of the connection. The number results are the error code; the text
  // results are nullopt on failure, with the reason in lastErrorCode.
  // newCertificate asks for a first certificate for the token's key pair with the pass phrase
  // key and stores it as "EOICert"; extendCertificate asks for a renewal and parks it as
  // "EOICertNew" while the current certificate is in force; revokeCertificate asks for the
  // revocation of the current certificate. All three need checkPassword first.
  std::int32_t newCertificate(std::u16string_view caUrl, std::u16string_view key);
  std::int32_t extendCertificate(std::u16string_view caUrl);
  std::int32_t revokeCertificate(std::u16string_view caUrl, std::u16string_view revokeReason);
  // queryCertificate fetches the certificate of serial number csn (decimal) issued by the
  // authority (casid1, casid2) and stores it as "EOICert" when it is the token's key pair's.
  std::int32_t queryCertificate(std::u16string_view caUrl, std::u16string_view casid1,
                                std::u16string_view casid2, std::u16string_view csn);
  // The queries below need no token; they return the Base64 of what the authority sent: a
  // certificate bag, or for queryCRL its revocation list. querySID1 and querySID2 return the
  // identifiers that the authority answers for (sid1, sid2).
  std::optional<std::u16string> queryMultipleCertificate(
      std::u16string_view caUrl, std::u16string_view casid1, std::u16string_view casid2,
      std::u16string_view sid1, std::u16string_view sid2, std::u16string_view date);
  std::optional<std::u16string> queryB64Certificate(std::u16string_view caUrl,
                                                    std::u16string_view casid1,
                                                    std::u16string_view casid2,
                                                    std::u16string_view csn);
  std::optional<std::u16string> queryCRL(std::u16string_view caUrl, std::u16string_view casid1,
                                         std::u16string_view casid2);
  std::optional<std::u16string> queryCaPublicKey(std::u16string_view caUrl,
                                                 std::u16string_view casid1,
                                                 std::u16string_view casid2);
  std::optional<std::u16string> queryPSNCaPublicKey(std::u16string_view caUrl,
                                                    std::u16string_view casid1,
                                                    std::u16string_view casid2,
                                                    std::u16string_view psn);
  std::optional<std::u16string> queryDateCaPublicKey(std::u16string_view caUrl,
                                                     std::u16string_view casid1,
                                                     std::u16string_view casid2,
                                                     std::u16string_view date);
  std::optional<std::u16string> querySID1(std::u16string_view caUrl, std::u16string_view sid1,
                                          std::u16string_view sid2);
  std::optional<std::u16string> querySID2(std::u16string_view caUrl, std::u16string_view sid1,
                                          std::u16string_view sid2);

 private:
  friend class MethodFrame;
  // Tests and benchmarks reach the internal operations through this one class.
  friend struct ControlTestAccess;

  // Internal operations of the methods. Method files include control/control_internal.h,
  // which defines the two frame templates.

  // inFrame runs a method body inside the method frame and returns its result. Memory
  // exhaustion sets lastErrorCode to 2, any other exception 1; the number result is then
  // lastErrorCode and the text result null.
  template <class Body>
  auto inFrame(Body&& body) noexcept -> decltype(body());
  // codeMethod is the frame of a method whose result is its error code: lastErrorCode is 1
  // on entry and receives the body's code, which is also the result.
  template <class Body>
  std::int32_t codeMethod(Body&& body) noexcept;

  // toAnsi returns the text in code page 950, up to its first zero character; on failure it
  // sets lastErrorCode to 502 (2 when memory runs out) and returns nullopt.
  std::optional<std::string> toAnsi(std::u16string_view text);
  // argumentText is toAnsi for a method's text argument: on failure the method's own code,
  // 3, replaces toAnsi's.
  std::optional<std::string> argumentText(std::u16string_view text);
  // toAnsiBuffer converts as toAnsi into a buffer of bufferBytes bytes (terminator included):
  // a text that doesn't fit fails with 502 as well.
  std::optional<std::string> toAnsiBuffer(std::u16string_view text, std::size_t bufferBytes);
  // toBstr returns the code-page-950 text as UTF-16; on failure it sets lastErrorCode to 503
  // (2 when memory runs out) and returns nullopt.
  std::optional<std::u16string> toBstr(std::string_view text);

  // connectToken makes sure the process-wide session is open (logging in with pin when it
  // opens it and pin isn't null) and returns 0, 2, or a token failure mapped to 1500-1517.
  std::int32_t connectToken(const char* pin);
  // detectKeyType returns the token type 0-3 and sets keyLabel (and certLabel for 3), or -1
  // when no known key is found or the token can't be reached (its code in lastErrorCode).
  std::int32_t detectKeyType();
  // closeSession closes and frees the process-wide session if one is open and clears the
  // PIN-verified flag.
  void closeSession() noexcept;

  // Certificate storage and inspection.
  // readFediCertObject returns the certificate bag stored under label (private objects set to
  // 0) with lastErrorCode 0; null with lastErrorCode 12 when the object can't be read, 10001
  // when its value doesn't decode.
  FediRecordPtr<FEDICERT> readFediCertObject(std::string_view label);
  // loadUserCertificate fills userCertificate from "EOICert" and returns 0, or the failure's
  // code. Once the current certificate has expired a parked "EOICertNew" is promoted when it
  // is newer and for the token's key, and deleted otherwise.
  std::int32_t loadUserCertificate();
  // judgeParkedCertificate sets fate for the parked "EOICertNew" beside the expired current
  // certificate and returns 0; 12 when the parked object can't be read.
  std::int32_t judgeParkedCertificate(FEDICERT* current, control::ParkedFate& fate);
  // storeUserCertificate checks the bag against the CA's certificate and the token's key pair
  // and stores it: mode 1 parks it as "EOICertNew" while the current one is in force, mode 0
  // replaces "EOICert". Returns 0 or the failure's code.
  std::int32_t storeUserCertificate(FEDICERT* bag, std::int32_t mode);
  // keyMatchesToken returns 0 when the certificate's RSA key is the token's key pair (read
  // from the public key, else the private key's modulus); -1 when either key can't be had,
  // 1 when they differ. Private objects may be left at 1.
  std::int32_t keyMatchesToken(std::string_view privateLabel, std::string_view publicLabel,
                               FEDI_X509* certificate);
  // certNotBeforeTime / certNotAfterTime return the first certificate's validity time as a
  // local time; 0 for a certificate without that time, and 0 with lastErrorCode 10002 for a
  // bag without certificates.
  std::int64_t certNotBeforeTime(FEDICERT* bag);
  std::int64_t certNotAfterTime(FEDICERT* bag);
  // The bodies shared by the method pairs.
  std::int32_t loadCACertBytes(const std::vector<std::uint8_t>& bytes);
  std::int32_t loadUserCertBytes(const std::vector<std::uint8_t>& bytes);
  std::int32_t writeCertObject(std::u16string_view outFile, std::string_view label);
  std::optional<std::u16string> certObjectB64(std::string_view label);
  std::optional<std::u16string> certDate(bool notAfter);
  std::optional<std::u16string> certTimeText(bool notAfter, int mode, bool localWithZone);
  std::optional<std::u16string> certKeyPart(bool modulus);
  std::optional<std::u16string> issuerEntry(int position);
  // caPublicKeyRecord makes sure caKeyRecord holds the selected built-in CA record: 0, 501
  // when its text doesn't decode as Base64, 10004 when it isn't a CA public-key record.
  std::int32_t caPublicKeyRecord();

  // Identity and signing.
  // readCsn sets csn to the card serial number of a token of the given type (detectKeyType's
  // answer), connecting first if needed, and returns 0 or the failure's code: 12 for a
  // missing or malformed record, 10007 for a TaiOne token before checkPassword, 10001 for an
  // undecodable certificate, the codes of loadUserCertificate and 10002 for a Linkway token.
  std::int32_t readCsn(std::int32_t type, std::string& csn);
  // readSid makes sure sid1Cache (which 1) or sid2Cache (which 2) holds the identifier of a
  // token of the given type and returns 0, or the failure's code with the cache left empty.
  // A cache already set is kept without reading the token.
  std::int32_t readSid(int which, std::int32_t type);
  // signDigest signs data with the key named by keyLabel: the MD5 DigestInfo (SHA-1 for
  // keyType 3) of data, or of data as the digest itself when hashFirst is false. It returns
  // the signature as upper-case hexadecimal with lastErrorCode 0, or nullopt with 10007
  // before checkPassword, 4 for a digest of the wrong length, 10010 when the key can't be
  // described, 1003 when the token doesn't sign.
  std::optional<std::string> signDigest(std::span<const std::uint8_t> data, bool hashFirst,
                                        std::int32_t keyType);

  // Certificate requests.
  // The builders fill der with a request signed by the token's "FEDICA" key pair and return
  // 0, or the failure's code with der empty. buildNewRequest reads the identifiers and the
  // public key from the token and MACs the request under pass (null counts as empty);
  // buildExtendRequest and buildRevokeRequest name the holder's current certificate, the
  // revocation with reason (null gives "Revoke").
  std::int32_t buildNewRequest(const char* pass, std::vector<std::uint8_t>& der);
  std::int32_t buildExtendRequest(std::vector<std::uint8_t>& der);
  std::int32_t buildRevokeRequest(const char* reason, std::vector<std::uint8_t>& der);

  // CA operations.
  friend class control::CaExchange;
  // checkCaAnswer returns 0 and sets content to the answer's record when the answer is of
  // expectedType; 4 without an answer, 2000 + n for the authority's error status n (after the
  // "On-Line error" box when showDebug is 1), 2000 for any other type. The record stays the
  // answer's.
  std::int32_t checkCaAnswer(const FEDI_MESSAGE* answer, int expectedType, void** content);
  // mapExchangeError turns a code of the CA exchange into the control's: -1 2, -2 and -3 500,
  // -4 3, -11 3000, -12 3001, -13 3002; any other code (a WinInet number) unchanged.
  static std::int32_t mapExchangeError(int code);
  // buildAuthorityName sets name to the X.509 name {O = second, CN = first} and returns 0; 3
  // when a text can't be converted, 2 when the name can't be made.
  std::int32_t buildAuthorityName(std::u16string_view first, std::u16string_view second,
                                  std::unique_ptr<X509_name_st, control::X509NameFree>& name);
  // The exchanges shared by method pairs and trios; each returns 0 with the answer's record
  // in exchange, or the failure's code. queryBySerial asks for certificate csn; askCaKey
  // for the authority's key, by key serial number psn and by date when they are given.
  std::int32_t queryBySerial(control::CaExchange& exchange, std::u16string_view caUrl,
                             std::u16string_view casid1, std::u16string_view casid2,
                             std::u16string_view csn);
  std::int32_t askCaKey(control::CaExchange& exchange, std::u16string_view caUrl,
                        std::u16string_view casid1, std::u16string_view casid2,
                        const std::u16string_view* psn, const std::u16string_view* date);
  // queryCaKey is the whole method behind queryCaPublicKey, queryPSNCaPublicKey and
  // queryDateCaPublicKey: askCaKey in the method frame, the key's bag as Base64 text.
  std::optional<std::u16string> queryCaKey(std::u16string_view caUrl, std::u16string_view casid1,
                                           std::u16string_view casid2,
                                           const std::u16string_view* psn,
                                           const std::u16string_view* date);
  // querySid returns SID1 (which 1: the first string of the answer's SET's first element) or
  // SID2 (which 2: the first string of its single element); nullopt with 4 when the answer has
  // no such element (an empty SET). Unicode strings are returned as the text they hold.
  std::optional<std::u16string> querySid(int which, std::u16string_view caUrl,
                                         std::u16string_view sid1, std::u16string_view sid2);
  // bagText and base64Text return an answer's DER (a certificate bag's: 10001 when it encodes
  // to nothing) as Base64 text with lastErrorCode 0; nullopt with 501 when the coding fails.
  std::optional<std::u16string> bagText(FEDICERT* bag);
  std::optional<std::u16string> base64Text(const std::vector<std::uint8_t>& der);

  // Fields, in the order of the control's record.
  std::int32_t lastErrorCode = kOk;
  token::TokenSession* tokenSession = nullptr;  // the process-wide session while a method runs
  FixedText<256> libraryName;
  std::int32_t tokenType = -1;
  std::int32_t pinVerified = 0;  // the process-wide flag while a method runs
  std::int32_t showDebug = 0;
  FediRecordPtr<FEDI_CAPUBKEY> caKeyRecord;
  FediRecordPtr<FEDICERT> caCertificate;
  FediRecordPtr<FEDICERT> userCertificate;
  std::optional<std::string> sid1Cache;
  std::optional<std::string> sid2Cache;
  FixedText<256> keyLabel;
  FixedText<256> certLabel;
  OwnedRecord<TVCAPIHandle> cspPrivateKey;
  OwnedRecord<TVCAPIHandle> cspCertificate;

  int frameDepth = 0;  // methods running on this instance; only the outermost frame publishes
};

}  // namespace kestrune
