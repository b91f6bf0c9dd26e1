// TVFEDIMiniKeyCrypt: the control object that web pages and host programs script.
//
// Every method reports its outcome through its result and through lastErrorCode (read with
// getErrorCode); none throws. Texts come in as UTF-16 and go down to the token in code page
// 950; a text result is std::nullopt (the null BSTR) when the method fails.
//
// The token session and the PIN-verified flag are process-wide: every instance sees the
// logins and closings of the others, and destroying any instance closes the session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/control_codes.h"
#include "control/control_state.h"

namespace kestrune {

// The fields live in control::ControlState, which the class holds as its private base: the
// methods read them as their own, and the internal operations (free functions over the
// state, control/*_internal.h) take the control as that state.
class TVFEDIMiniKeyCrypt : private control::ControlState {
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
  // The same envelope signed with a certificate and key of the CryptoAPI layer, in a session:
  // _Init finds the certificate (in the named provider's containers, or in the user's stores
  // when strProvider is empty), its key, and hands the key's provider the PIN; each _Update
  // signs one message (SHA-1, the identity from the certificate); _Final ends the session.
  // FEDIMessageSignWithCSP makes the three calls for one message.
  std::int32_t FEDIMessageSignWithCSP_Init(std::u16string_view strSubject,
                                           std::u16string_view strIssuer,
                                           std::u16string_view strProvider,
                                           std::u16string_view strPin, std::int32_t iFlags,
                                           std::int32_t iKeyUsage);
  std::optional<std::u16string> FEDIMessageSignWithCSP_Update(std::u16string_view SourceData);
  std::int32_t FEDIMessageSignWithCSP_Final();
  std::optional<std::u16string> FEDIMessageSignWithCSP(std::u16string_view SourceData,
                                                       std::u16string_view strSubject,
                                                       std::u16string_view strIssuer,
                                                       std::u16string_view strProvider,
                                                       std::u16string_view strPin,
                                                       std::int32_t iFlags, std::int32_t iKeyUsage);

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
  // Tests and benchmarks reach the internal operations through this one class.
  friend struct ControlTestAccess;
};

}  // namespace kestrune
