// What the certificate methods share: the token labels of the certificates, the time texts,
// the first certificate of a bag, and the replacement of a token object that survives a failed
// creation. Included only by the control's own sources (and its tests).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "FEDIX509/fedi_x509.h"
#include "control/control_state.h"
#include "token/labels.h"
#include "token/token.h"

namespace kestrune::control {

// What becomes of a parked renewal once the current certificate has expired.
enum class ParkedFate {
  kPromote,  // newer than the current one and for the token's key: it takes its place
  kDrop,     // older, undecodable, not signed by the CA or for another key: deleted
  kKeep,     // the token's key or the CA's can't be read now, or not yet valid: left for later
};

// Modes of formatCertTime.
enum CertTimeMode : int {
  kDateOnly = 0,      // YYYYMMDD
  kDateTime = 1,      // YYYYMMDDhhmmss
  kDateTimeZone = 2,  // YYYYMMDDhhmmss, then "Z" when the ASN.1 text ends in Z
};

// formatCertTime renders a UTCTime or GeneralizedTime of a validity in the mode's form and
// returns 0; 4 when the text is too short for its type (10 characters for UTCTime, 12 for
// GeneralizedTime) or the mode is unknown. The digits are taken as they stand, unchecked.
// A time of any other type gives 0 and an empty text.
std::int32_t formatCertTime(const ASN1_TIME* time, std::string& out, int mode);

// parseDateText reads YYYYMMDD or YYYYMMDDhhmmss as a local time (daylight saving off) and
// returns it, or -1: for fewer than 8 characters, a zero year, month or day, or a time that
// can't be represented. Without exactly 14 characters the time of day is 23:59:59.
std::int64_t parseDateText(std::string_view text);

// toLocalTimeWithZone reads a UTC date and time (YYYYMMDD[hhmmss...]) and writes the local
// time followed by the zone's standard offset, "YYYYMMDDhhmmss+hhmm". Returns 0; 1 for fewer
// than 8 characters, -1 for a zero year, month or day or a time that can't be converted.
std::int32_t toLocalTimeWithZone(std::string_view text, std::string& out);

// neverExpires is true for the FEDI UTCTime that begins with six '9'.
bool neverExpires(const ASN1_TIME* time);

// firstCertificate returns certificate 0 of the bag with its own reference, or null.
fedi::RecordPtr<FEDI_X509> firstCertificate(FEDICERT* bag);

// encodeBag returns 0 and the bag's DER; emptyCode when the bag encodes to nothing, 2 when
// memory runs out.
std::int32_t encodeBag(FEDICERT* bag, std::vector<std::uint8_t>& der, std::int32_t emptyCode);

// writeCertificateObject creates the data object label with value (the token layer adds its
// zero byte). With replaceExisting the object of that label is deleted first; should the
// creation then fail, the deleted object is put back exactly as it was, so a failed
// replacement never loses the certificate it was to replace. Returns 0; 12 when the existing
// object can't be read for its copy (nothing is deleted), 1514 when it can't be deleted, 1516
// when the creation fails for a full token memory, 11 for any other failed creation.
std::int32_t writeCertificateObject(token::TokenSession* session, std::string_view label,
                                    std::span<const std::uint8_t> value, bool replaceExisting);

// The certificate operations of the methods (used by the identity and CA areas too).

// readFediCertObject returns the certificate bag stored under label (private objects set to
// 0) with lastErrorCode 0; null with lastErrorCode 12 when the object can't be read, 10001
// when its value doesn't decode.
Ptr<FEDICERT> readFediCertObject(ControlState& state, std::string_view label);
// loadUserCertificate fills userCertificate from "EOICert" and returns 0, or the failure's
// code. Once the current certificate has expired a parked "EOICertNew" is promoted when it
// is newer and for the token's key, and deleted otherwise.
std::int32_t loadUserCertificate(ControlState& state);
// judgeParkedCertificate sets fate for the parked "EOICertNew" beside the expired current
// certificate, and parked to its decoded bag when it decodes, and returns 0; 12 when the
// parked object can't be read.
std::int32_t judgeParkedCertificate(ControlState& state, FEDICERT* current, ParkedFate& fate,
                                    Ptr<FEDICERT>& parked);
// storeUserCertificate checks the bag against the CA's certificate and the token's key pair
// and stores it: mode 1 parks it as "EOICertNew" while the current one is in force, mode 0
// replaces "EOICert". Returns 0 or the failure's code.
std::int32_t storeUserCertificate(ControlState& state, FEDICERT* bag, std::int32_t mode);
// keyMatchesToken returns 0 when the certificate's RSA key is the token's key pair (read
// from the public key, else the private key's modulus); -1 when either key can't be had,
// 1 when they differ. Private objects may be left at 1.
std::int32_t keyMatchesToken(ControlState& state, std::string_view privateLabel,
                             std::string_view publicLabel, FEDI_X509* certificate);
// certNotBeforeTime / certNotAfterTime return the first certificate's validity time as a
// local time; 0 for a certificate without that time, and 0 with lastErrorCode 10002 for a
// bag without certificates.
std::int64_t certNotBeforeTime(ControlState& state, FEDICERT* bag);
std::int64_t certNotAfterTime(ControlState& state, FEDICERT* bag);
// The bodies shared by the method pairs.
std::int32_t loadCACertBytes(ControlState& state, const std::vector<std::uint8_t>& bytes);
std::int32_t loadUserCertBytes(ControlState& state, const std::vector<std::uint8_t>& bytes);
std::int32_t writeCertObject(ControlState& state, std::u16string_view outFile,
                             std::string_view label);
std::optional<std::u16string> certObjectB64(ControlState& state, std::string_view label);
std::optional<std::u16string> certDate(ControlState& state, bool notAfter);
std::optional<std::u16string> certTimeText(ControlState& state, bool notAfter, int mode,
                                           bool localWithZone);
std::optional<std::u16string> certKeyPart(ControlState& state, bool modulus);
std::optional<std::u16string> issuerEntry(ControlState& state, int position);
// caPublicKeyRecord makes sure caKeyRecord holds the selected built-in CA record: 0, 501
// when its text doesn't decode as Base64, 10004 when it isn't a CA public-key record.
std::int32_t caPublicKeyRecord(ControlState& state);

}  // namespace kestrune::control
