// The CA operations that the CA methods share: the answer check, the code mapping, the
// authority's name and the exchanges of method pairs. Included only by the control's own
// sources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_state.h"
#include "control/request_builders.h"

struct FEDI_MESSAGE;

namespace kestrune::control {

class CaExchange;

// checkCaAnswer returns 0 and sets content to the answer's record when the answer is of
// expectedType; 4 without an answer, 2000 + n for the authority's error status n (after the
// "On-Line error" box when showDebug is 1), 2000 for any other type. The record stays the
// answer's.
std::int32_t checkCaAnswer(ControlState& state, const FEDI_MESSAGE* answer, int expectedType,
                           void** content);
// mapExchangeError turns a code of the CA exchange into the control's: -1 2, -2 and -3 500,
// -4 3, -11 3000, -12 3001, -13 3002; any other code (a WinInet number) unchanged.
std::int32_t mapExchangeError(int code);
// buildAuthorityName sets name to the X.509 name {O = second, CN = first} and returns 0; 3
// when a text can't be converted, 2 when the name can't be made.
std::int32_t buildAuthorityName(ControlState& state, std::u16string_view first,
                                std::u16string_view second, Ptr<X509_NAME>& name);
// The exchanges shared by method pairs and trios; each returns 0 with the answer's record
// in exchange, or the failure's code. queryBySerial asks for certificate csn; askCaKey
// for the authority's key, by key serial number psn and by date when they are given.
std::int32_t queryBySerial(ControlState& state, CaExchange& exchange, std::u16string_view caUrl,
                           std::u16string_view casid1, std::u16string_view casid2,
                           std::u16string_view csn);
std::int32_t askCaKey(ControlState& state, CaExchange& exchange, std::u16string_view caUrl,
                      std::u16string_view casid1, std::u16string_view casid2,
                      const std::u16string_view* psn, const std::u16string_view* date);
// queryCaKey is the whole method behind queryCaPublicKey, queryPSNCaPublicKey and
// queryDateCaPublicKey: askCaKey in the method frame, the key's bag as Base64 text.
std::optional<std::u16string> queryCaKey(ControlState& state, std::u16string_view caUrl,
                                         std::u16string_view casid1, std::u16string_view casid2,
                                         const std::u16string_view* psn,
                                         const std::u16string_view* date);
// querySid returns SID1 (which 1: the first string of the answer's SET's first element) or
// SID2 (which 2: the first string of its single element); nullopt with 4 when the answer has
// no such element (an empty SET). Unicode strings are returned as the text they hold.
std::optional<std::u16string> querySid(ControlState& state, int which, std::u16string_view caUrl,
                                       std::u16string_view sid1, std::u16string_view sid2);
// bagText and base64Text return an answer's DER (a certificate bag's: 10001 when it encodes
// to nothing) as Base64 text with lastErrorCode 0; nullopt with 501 when the coding fails.
std::optional<std::u16string> bagText(ControlState& state, FEDICERT* bag);
std::optional<std::u16string> base64Text(ControlState& state, const std::vector<std::uint8_t>& der);

}  // namespace kestrune::control
