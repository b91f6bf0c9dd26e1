// The numbers of the authority's refusals. Whenever it cannot give the answer a request
// expects, the authority answers with a status record (content type 999) carrying one of these
// numbers and an English text; the control reports 2000 + the number. ca/README.md lists them.
#pragma once

#include <string_view>

namespace kestrune::ca {

inline constexpr int kRefuseMalformed = 1;       // the message or its record does not decode, has
                                                 // no content, or contradicts itself
inline constexpr int kRefuseContentType = 2;     // a content type without coder, or one that is
                                                 // not a request the authority answers
inline constexpr int kRefuseSignature = 3;       // a request's signature does not verify with the
                                                 // key it must be made with
inline constexpr int kRefuseHolderOrMac = 4;     // new certificate: the holder is not enrolled or
                                                 // the MAC is not made with its pass phrase
inline constexpr int kRefuseNotFound = 5;        // no certificate answers the request or query
inline constexpr int kRefuseRevoked = 6;         // the named certificate is revoked
inline constexpr int kRefuseIssuer = 7;          // the issuer named is not this authority
inline constexpr int kRefuseSubject = 8;         // the request's subject is not O=SID2, CN=SID1,
                                                 // or not the named certificate's
inline constexpr int kRefuseNotInForce = 9;      // the named certificate has expired (or is not
                                                 // valid yet)
inline constexpr int kRefuseNotCurrent = 10;     // the named certificate is not the holder's
                                                 // current one
inline constexpr int kRefuseUnknownHolder = 11;  // identifier query: no enrolled holder matches
inline constexpr int kRefuseKey = 12;            // the request's key is not an RSA key of 512 to
                                                 // 4096 bits
inline constexpr int kRefuseEnrolAgain = 13;     // new certificate: the holder's pass phrase
                                                 // admitted a certificate already, or too many
                                                 // wrong MACs were made with it
inline constexpr int kRefuseKeyCertified = 14;   // new certificate: the key has a certificate in
                                                 // good standing (renewal is the way)
inline constexpr int kRefuseInternal = 99;       // the authority failed (storage or signing)

// A short English text for a refusal's number; empty for a number that is not one.
constexpr std::string_view refusalText(int status) {
  switch (status) {
    case kRefuseMalformed:
      return "the request does not decode";
    case kRefuseContentType:
      return "a request the authority does not answer";
    case kRefuseSignature:
      return "the request's signature does not verify";
    case kRefuseHolderOrMac:
      return "the holder is not enrolled or the pass phrase is wrong";
    case kRefuseNotFound:
      return "no such certificate";
    case kRefuseRevoked:
      return "the certificate is revoked";
    case kRefuseIssuer:
      return "the issuer named is not this authority";
    case kRefuseSubject:
      return "the subject is not the holder's";
    case kRefuseNotInForce:
      return "the certificate is not in force";
    case kRefuseNotCurrent:
      return "the certificate is not the holder's current one";
    case kRefuseUnknownHolder:
      return "no enrolled holder matches";
    case kRefuseKey:
      return "the key is not one the authority certifies";
    case kRefuseEnrolAgain:
      return "the pass phrase is spent or locked: enrol the holder again";
    case kRefuseKeyCertified:
      return "the key has a certificate in force: renew it instead";
    case kRefuseInternal:
      return "the authority failed";
    default:
      return {};
  }
}

}  // namespace kestrune::ca
