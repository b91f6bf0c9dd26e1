#include "com/method_table.h"

#include <algorithm>

#include "com/binding.h"
#include "com/names.h"
#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune::com {
namespace {

using Control = TVFEDIMiniKeyCrypt;

constexpr Parameter text(std::string_view name) {
  return {name, Kind::text};
}
constexpr Parameter i4(std::string_view name) {
  return {name, Kind::i4};
}

template <class... P>
constexpr Parameters in(P... parameters) {
  return {{parameters...}, sizeof...(parameters)};
}

constexpr Result returnsText(std::string_view name) {
  return {Kind::text, name};
}
constexpr Result returnsI4(std::string_view name) {
  return {Kind::i4, name};
}
constexpr Result kNoResult{};

template <class... E>
constexpr Effects does(E... effects) {
  return Effects(effects...);
}
using enum Effect;

// What each call does, read from the control's code. Some notes on the less obvious rows:
// - The readers of the current certificate put a renewal in its place once its time has come:
//   that completes a change allowed when the renewal was stored, so they count as reading.
// - makeRequestCert signs a request on the token and writes it to a file; nothing is sent.
// - newCertificate, extendCertificate and revokeCertificate sign their request on the token
//   before sending it; revokeCertificate keeps the certificate on the token.
// - queryCertificate stores what the authority sends as the current certificate when it is
//   the token's key pair's (replacing the current one, even with one not yet in force); the
//   other queries only return what they received.
// - FEDIMessageSignWithCSP_Init hands a PIN to the key's provider; _Final lets the key go.
// - setCurrentSlot opens the chosen slot's token without logging in; loadLib loads a module.

// clang-format off
constexpr std::array<Method, kMethodCount> kMethods{{
  {1, "loadCACert", in(text("cafile")), returnsI4("rtn"), does(readsFile, storesOnToken), bind<&Control::loadCACert>()},
  {2, "checkPassword", in(text("checkData")), returnsI4("rtn"), does(logsIn), bind<&Control::checkPassword>()},
  {3, "sign", in(text("SourceData")), returnsText("rtn"), does(signs), bind<&Control::sign>()},
  {4, "signB64", in(text("SourceData")), returnsText("rtn"), does(signs), bind<&Control::signB64>()},
  {5, "getSID1", in(), returnsText("rtn"), does(reads), bind<&Control::getSID1>()},
  {6, "getSID2", in(), returnsText("rtn"), does(reads), bind<&Control::getSID2>()},
  {7, "getCSN", in(), returnsText("rtn"), does(reads), bind<&Control::getCSN>()},
  {8, "setPassword", in(text("oldpass"), text("newpass")), returnsI4("rtn"), does(changesPin), bind<&Control::setPassword>()},
  {9, "makeCard", in(text("UserID"), text("OrgID")), returnsI4("rtn"), does(writesIdentity, makesKey), bind<&Control::makeCard>()},
  {10, "makeRequestCert", in(i4("reqType"), text("outFile"), text("OptionalData")), returnsI4("rtn"), does(signs, writesFile), bind<&Control::makeRequestCert>()},
  {11, "loadCert", in(text("certfile")), returnsI4("rtn"), does(readsFile, storesOnToken), bind<&Control::loadCert>()},
  {12, "getCert", in(text("outFile")), returnsI4("rtn"), does(reads, writesFile), bind<&Control::getCert>()},
  {13, "getBeginDate", in(), returnsText("rtn"), does(reads), bind<&Control::getBeginDate>()},
  {14, "getEndDate", in(), returnsText("rtn"), does(reads), bind<&Control::getEndDate>()},
  {15, "getBeginDateTime", in(), returnsText("rtn"), does(reads), bind<&Control::getBeginDateTime>()},
  {16, "getEndDateTime", in(), returnsText("rtn"), does(reads), bind<&Control::getEndDateTime>()},
  {17, "getErrorCode", in(), returnsI4("rtn"), does(reads), bind<&Control::getErrorCode>()},
  {18, "loadLib", in(text("libname")), returnsI4("rtn"), does(configures), bind<&Control::loadLib>()},
  {19, "getCardSN", in(), returnsText("rtn"), does(reads), bind<&Control::getCardSN>()},
  {20, "setCardSN", in(text("cardsn")), returnsI4("rtn"), does(writesIdentity), bind<&Control::setCardSN>()},
  {21, "loadCertB64", in(text("certContent")), returnsI4("rtn"), does(storesOnToken), bind<&Control::loadCertB64>()},
  {22, "loadCACertB64", in(text("certContent")), returnsI4("rtn"), does(storesOnToken), bind<&Control::loadCACertB64>()},
  {23, "getCertB64", in(), returnsText("rtn"), does(reads), bind<&Control::getCertB64>()},
  {24, "signHash", in(text("hexHash")), returnsText("rtn"), does(signs), bind<&Control::signHash>()},
  {25, "close", in(), returnsI4("rtn"), does(logsOut), bind<&Control::close>()},
  {26, "setTestVersion", in(i4("iTest")), kNoResult, does(configures), bind<&Control::setTestVersion>()},
  {27, "newCertificate", in(text("caUrl"), text("key")), returnsI4("rtn"), does(talksToUrl, signs, changesCertificate, storesOnToken), bind<&Control::newCertificate>()},
  {28, "extendCertificate", in(text("caUrl")), returnsI4("rtn"), does(talksToUrl, signs, changesCertificate, storesOnToken), bind<&Control::extendCertificate>()},
  {29, "revokeCertificate", in(text("caUrl"), text("revokeReason")), returnsI4("rtn"), does(talksToUrl, signs, changesCertificate), bind<&Control::revokeCertificate>()},
  {30, "queryCertificate", in(text("caUrl"), text("casid1"), text("casid2"), text("csn")), returnsI4("rtn"), does(talksToUrl, storesOnToken), bind<&Control::queryCertificate>()},
  {31, "queryMultipleCertificate", in(text("caUrl"), text("casid1"), text("casid2"), text("sid1"), text("sid2"), text("date")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryMultipleCertificate>()},
  {32, "queryCRL", in(text("caUrl"), text("casid1"), text("casid2")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryCRL>()},
  {33, "queryCaPublicKey", in(text("caUrl"), text("casid1"), text("casid2")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryCaPublicKey>()},
  {34, "queryPSNCaPublicKey", in(text("caUrl"), text("casid1"), text("casid2"), text("psn")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryPSNCaPublicKey>()},
  {35, "queryDateCaPublicKey", in(text("caUrl"), text("casid1"), text("casid2"), text("date")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryDateCaPublicKey>()},
  {36, "setP11CryptReinit", in(i4("reinit")), kNoResult, does(configures), bind<&Control::setP11CryptReinit>()},
  {37, "loadMultiCertB64", in(text("certContent")), returnsI4("rtn"), does(storesOnToken), bind<&Control::loadMultiCertB64>()},
  {38, "getCPublicExponent", in(), returnsText("rtn"), does(reads), bind<&Control::getCPublicExponent>()},
  {39, "getCModulus", in(), returnsText("rtn"), does(reads), bind<&Control::getCModulus>()},
  {40, "getCASID2", in(), returnsText("rtn"), does(reads), bind<&Control::getCASID2>()},
  {41, "getCASID1", in(), returnsText("rtn"), does(reads), bind<&Control::getCASID1>()},
  {42, "querySID1", in(text("caUrl"), text("sid1"), text("sid2")), returnsText("rtn"), does(talksToUrl), bind<&Control::querySID1>()},
  {43, "querySID2", in(text("caUrl"), text("sid1"), text("sid2")), returnsText("rtn"), does(talksToUrl), bind<&Control::querySID2>()},
  {44, "queryB64Certificate", in(text("caUrl"), text("casid1"), text("casid2"), text("csn")), returnsText("rtn"), does(talksToUrl), bind<&Control::queryB64Certificate>()},
  {45, "setSID", in(text("UserID"), text("OrgID")), returnsI4("rtn"), does(writesIdentity), bind<&Control::setSID>()},
  {47, "FEDIMessageSign", in(text("SourceData")), returnsText("rtn"), does(signs), bind<&Control::FEDIMessageSign>()},
  {49, "showDebugMessage", in(i4("bShow")), kNoResult, does(configures), bind<&Control::showDebugMessage>()},
  {50, "getNewCertB64", in(), returnsText("rtn"), does(reads), bind<&Control::getNewCertB64>()},
  {51, "getNewCert", in(text("outFile")), returnsI4("rtn"), does(reads, writesFile), bind<&Control::getNewCert>()},
  {52, "getType", in(), returnsText("rtn"), does(reads), bind<&Control::getType>()},
  {53, "setCurrentSlot", in(i4("SlotNumber")), returnsI4("Ret"), does(configures), bind<&Control::setCurrentSlot>()},
  {54, "FEDIMessageSignWithCSP", in(text("SourceData"), text("strSubject"), text("strIssuer"), text("strProvider"), text("strPin"), i4("iFlags"), i4("iKeyUsage")), returnsText("signature"), does(logsIn, signs, logsOut), bind<&Control::FEDIMessageSignWithCSP>()},
  {55, "TV_GETVersion", in(i4("flag")), returnsText("ver"), does(reads), bind<&Control::TV_GETVersion>()},
  {56, "FEDIMessageSignWithCSP_Init", in(text("strSubject"), text("strIssuer"), text("strProvider"), text("strPin"), i4("iFlags"), i4("iKeyUsage")), returnsI4("rtn"), does(logsIn), bind<&Control::FEDIMessageSignWithCSP_Init>()},
  {57, "FEDIMessageSignWithCSP_Update", in(text("SourceData")), returnsText("signature"), does(signs), bind<&Control::FEDIMessageSignWithCSP_Update>()},
  {58, "FEDIMessageSignWithCSP_Final", in(), returnsI4("rtn"), does(logsOut), bind<&Control::FEDIMessageSignWithCSP_Final>()},
  {59, "setTokenType", in(i4("type")), kNoResult, does(configures), bind<&Control::setTokenType>()},
  {60, "getCertNotBefore", in(i4("iFlags")), returnsText("rtn"), does(reads), bind<&Control::getCertNotBefore>()},
  {61, "getCertNotAfter", in(i4("iFlags")), returnsText("rtn"), does(reads), bind<&Control::getCertNotAfter>()},
}};
// clang-format on

consteval bool dispidsAreUnique() {
  for (std::size_t a = 0; a < kMethods.size(); ++a) {
    for (std::size_t b = a + 1; b < kMethods.size(); ++b) {
      if (kMethods[a].dispid == kMethods[b].dispid) return false;
    }
  }
  return true;
}

consteval bool namesAreUnique() {
  for (std::size_t a = 0; a < kMethods.size(); ++a) {
    for (std::size_t b = a + 1; b < kMethods.size(); ++b) {
      if (equalsIgnoringCase(kMethods[a].name, kMethods[b].name)) return false;
    }
  }
  return true;
}

// Every row is bound to a control method, which must take exactly the row's parameter kinds and
// give the row's result; a member returning nothing may stand for a row with a result it leaves
// unwritten (close).
consteval bool bindingsMatchRows() {
  for (const Method& method : kMethods) {
    const Binding& binding = method.binding;
    if (!binding.built) return false;
    if (binding.parameters.count != method.parameters.count) return false;
    for (std::size_t i = 0; i < method.parameters.count; ++i) {
      if (binding.parameters.items[i].kind != method.parameters.items[i].kind) return false;
    }
    if (binding.result != method.result.kind && binding.result != Kind::none) return false;
  }
  return true;
}

consteval bool dispidsAreInRange() {
  return std::all_of(kMethods.begin(), kMethods.end(), [](const Method& method) {
    return method.dispid >= 1 && method.dispid <= 61 && method.dispid != 46 && method.dispid != 48;
  });
}

consteval bool hasParameter(const Method& method, std::string_view name) {
  for (const Parameter& parameter : method.params()) {
    if (parameter.name == name) return true;
  }
  return false;
}

// The effects agree with each other and with the parameters they act on: a setting changes
// nothing else, a reader changes nothing on the token, a change at the authority is a signed
// request sent to it, the calls that talk to a URL and those that read or write a file are
// exactly those given one.
consteval bool effectsAreSane() {
  const Effects tokenChanges(changesPin, writesIdentity, makesKey, storesOnToken);
  for (const Method& method : kMethods) {
    const Effects& effects = method.effects;
    if (effects.has(configures) && !effects.only(configures)) return false;
    if (effects.has(reads) && effects.hasAnyOf(tokenChanges)) return false;
    if (effects.has(changesCertificate) && !(effects.has(talksToUrl) && effects.has(signs))) {
      return false;
    }
    const bool urlFirst = method.parameters.count > 0 && method.parameters.items[0].name == "caUrl";
    if (effects.has(talksToUrl) != urlFirst ||
        effects.has(talksToUrl) != hasParameter(method, "caUrl")) {
      return false;
    }
    if (effects.has(writesFile) != hasParameter(method, "outFile")) return false;
    if (effects.has(readsFile) !=
        (hasParameter(method, "cafile") || hasParameter(method, "certfile"))) {
      return false;
    }
  }
  return true;
}

static_assert(dispidsAreUnique());
static_assert(namesAreUnique());
static_assert(bindingsMatchRows());
static_assert(dispidsAreInRange());
static_assert(effectsAreSane());

}  // namespace

std::string_view kindName(Kind kind) {
  switch (kind) {
    case Kind::text:
      return "text";
    case Kind::i4:
      return "I4";
    case Kind::none:
      break;
  }
  return "none";
}

std::string_view effectName(Effect effect) {
  switch (effect) {
    case reads:
      return "reads";
    case readsFile:
      return "readsFile";
    case configures:
      return "configures";
    case logsIn:
      return "logsIn";
    case logsOut:
      return "logsOut";
    case changesPin:
      return "changesPin";
    case writesIdentity:
      return "writesIdentity";
    case makesKey:
      return "makesKey";
    case talksToUrl:
      return "talksToUrl";
    case signs:
      return "signs";
    case changesCertificate:
      return "changesCertificate";
    case storesOnToken:
      return "storesOnToken";
    case writesFile:
      return "writesFile";
  }
  return "unknown";
}

std::span<const Method> methods() {
  return kMethods;
}

const Method* findMethod(std::string_view name) {
  const auto found = std::find_if(kMethods.begin(), kMethods.end(), [name](const Method& method) {
    return equalsIgnoringCase(method.name, name);
  });
  return found != kMethods.end() ? &*found : nullptr;
}

const Method* findMethodByDispid(std::int32_t dispid) {
  const auto found = std::find_if(kMethods.begin(), kMethods.end(), [dispid](const Method& method) {
    return method.dispid == dispid;
  });
  return found != kMethods.end() ? &*found : nullptr;
}

std::optional<std::size_t> parameterIndex(const Method& method, std::string_view name) {
  const auto parameters = method.params();
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i].name == name) return i;
  }
  return std::nullopt;
}

std::int32_t dispidOf(std::string_view name) {
  const Method* method = findMethod(name);
  return method != nullptr ? method->dispid : kDispidUnknown;
}

}  // namespace kestrune::com
