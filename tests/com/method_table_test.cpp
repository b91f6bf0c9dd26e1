#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "com/method_table.h"

namespace kestrune::com {
namespace {

std::string kinds(const Method& method) {
  std::string text;
  for (const Parameter& parameter : method.params()) {
    if (!text.empty()) text += ",";
    text += kindName(parameter.kind);
  }
  return text;
}

TEST(MethodTable, HoldsTheWholeInterface) {
  const auto table = methods();
  ASSERT_EQ(59u, table.size());
  std::set<std::int32_t> dispids;
  std::set<std::string> lowerNames;
  for (const Method& method : table) {
    SCOPED_TRACE(std::string(method.name));
    EXPECT_TRUE(dispids.insert(method.dispid).second) << "DISPID " << method.dispid << " twice";
    std::string lower(method.name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_TRUE(lowerNames.insert(lower).second) << "name twice";
    EXPECT_LE(method.params().size(), kMaxParameters);
    for (const Parameter& parameter : method.params()) {
      EXPECT_FALSE(parameter.name.empty());
      EXPECT_NE(Kind::none, parameter.kind);
    }
    EXPECT_EQ(method.result.kind == Kind::none, method.result.name.empty());
  }
  EXPECT_EQ(0u, dispids.count(46));
  EXPECT_EQ(0u, dispids.count(48));
  EXPECT_EQ(1, *dispids.begin());
  EXPECT_EQ(61, *dispids.rbegin());
  // Interface order follows the DISPIDs.
  EXPECT_TRUE(std::is_sorted(table.begin(), table.end(),
                             [](const Method& a, const Method& b) { return a.dispid < b.dispid; }));
}

TEST(MethodTable, RowsCarryTheirDispidsParametersAndResults) {
  struct Case {
    std::size_t slot;
    std::int32_t dispid;
    const char* name;
    const char* parameters;
    Kind result;
    const char* resultName;
  };
  const Case cases[] = {
      {1, 1, "loadCACert", "text", Kind::i4, "rtn"},
      {2, 2, "checkPassword", "text", Kind::i4, "rtn"},
      {5, 5, "getSID1", "", Kind::text, "rtn"},
      {10, 10, "makeRequestCert", "I4,text,text", Kind::i4, "rtn"},
      {17, 17, "getErrorCode", "", Kind::i4, "rtn"},
      {18, 18, "loadLib", "text", Kind::i4, "rtn"},
      {25, 25, "close", "", Kind::i4, "rtn"},
      {26, 26, "setTestVersion", "I4", Kind::none, ""},
      {31, 31, "queryMultipleCertificate", "text,text,text,text,text,text", Kind::text, "rtn"},
      {45, 45, "setSID", "text,text", Kind::i4, "rtn"},
      {46, 47, "FEDIMessageSign", "text", Kind::text, "rtn"},
      {47, 49, "showDebugMessage", "I4", Kind::none, ""},
      {48, 50, "getNewCertB64", "", Kind::text, "rtn"},
      {51, 53, "setCurrentSlot", "I4", Kind::i4, "Ret"},
      {52, 54, "FEDIMessageSignWithCSP", "text,text,text,text,text,I4,I4", Kind::text, "signature"},
      {53, 55, "TV_GETVersion", "I4", Kind::text, "ver"},
      {54, 56, "FEDIMessageSignWithCSP_Init", "text,text,text,text,I4,I4", Kind::i4, "rtn"},
      {57, 59, "setTokenType", "I4", Kind::none, ""},
      {59, 61, "getCertNotAfter", "I4", Kind::text, "rtn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Method& method = methods()[c.slot - 1];
    EXPECT_EQ(c.name, method.name);
    EXPECT_EQ(c.dispid, method.dispid);
    EXPECT_EQ(c.parameters, kinds(method));
    EXPECT_EQ(c.result, method.result.kind);
    EXPECT_EQ(c.resultName, method.result.name);
  }
}

std::string effectsText(const Method& method) {
  std::string text;
  for (std::size_t i = 0; i < kEffectCount; ++i) {
    const auto effect = static_cast<Effect>(i);
    if (!method.effects.has(effect)) continue;
    if (!text.empty()) text += ",";
    text += effectName(effect);
  }
  return text;
}

// What the control's code does in each of these calls, as the rows say it (in the order of
// Effect).
TEST(MethodTable, RowsSayWhatTheirCallsDo) {
  struct Case {
    const char* name;
    const char* effects;
  };
  const Case cases[] = {
      {"loadCACert", "readsFile,storesOnToken"},
      {"checkPassword", "logsIn"},
      {"getSID1", "reads"},
      {"setPassword", "changesPin"},
      {"makeCard", "writesIdentity,makesKey"},
      {"setCardSN", "writesIdentity"},
      {"makeRequestCert", "signs,writesFile"},
      {"getCert", "reads,writesFile"},
      {"loadLib", "configures"},
      {"setCurrentSlot", "configures"},
      {"close", "logsOut"},
      {"signHash", "signs"},
      {"newCertificate", "talksToUrl,signs,changesCertificate,storesOnToken"},
      {"extendCertificate", "talksToUrl,signs,changesCertificate,storesOnToken"},
      {"revokeCertificate", "talksToUrl,signs,changesCertificate"},
      {"queryCertificate", "talksToUrl,storesOnToken"},
      {"queryB64Certificate", "talksToUrl"},
      {"querySID1", "talksToUrl"},
      {"loadMultiCertB64", "storesOnToken"},
      {"FEDIMessageSignWithCSP", "logsIn,logsOut,signs"},
      {"FEDIMessageSignWithCSP_Init", "logsIn"},
      {"FEDIMessageSignWithCSP_Update", "signs"},
      {"FEDIMessageSignWithCSP_Final", "logsOut"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Method* method = findMethod(c.name);
    ASSERT_NE(nullptr, method);
    EXPECT_EQ(c.effects, effectsText(*method));
  }
  // Every effect has a name of its own and is some call's.
  std::set<std::string> names;
  for (std::size_t i = 0; i < kEffectCount; ++i) {
    const auto effect = static_cast<Effect>(i);
    SCOPED_TRACE(i);
    EXPECT_TRUE(names.insert(std::string(effectName(effect))).second);
    EXPECT_TRUE(std::any_of(methods().begin(), methods().end(),
                            [effect](const Method& method) { return method.effects.has(effect); }));
  }
}

TEST(MethodTable, ParameterNamesAreTheInterfaces) {
  const Method* method = findMethod("FEDIMessageSignWithCSP");
  ASSERT_NE(nullptr, method);
  std::vector<std::string> names;
  for (const Parameter& parameter : method->params()) names.emplace_back(parameter.name);
  EXPECT_EQ((std::vector<std::string>{"SourceData", "strSubject", "strIssuer", "strProvider",
                                      "strPin", "iFlags", "iKeyUsage"}),
            names);
  EXPECT_EQ("SlotNumber", findMethod("setCurrentSlot")->params()[0].name);
}

TEST(MethodLookup, IgnoresCaseAsGetIDsOfNamesDoes) {
  for (const char* name : {"getErrorCode", "GETERRORCODE", "geterrorcode", "GetErrorCode"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(17, dispidOf(name));
    const Method* method = findMethod(name);
    ASSERT_NE(nullptr, method);
    EXPECT_EQ("getErrorCode", method->name);
  }
  EXPECT_EQ(55, dispidOf("tv_getversion"));
}

TEST(MethodLookup, UnknownNamesAndDispids) {
  for (const char* name :
       {"", "getErrorCod", "getErrorCodes", "getErrorCode ", "DllRegisterServer"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(nullptr, findMethod(name));
    EXPECT_EQ(kDispidUnknown, dispidOf(name));
  }
  for (std::int32_t dispid : {-1, 0, 46, 48, 62, 1000}) {
    SCOPED_TRACE(dispid);
    EXPECT_EQ(nullptr, findMethodByDispid(dispid));
  }
}

TEST(MethodLookup, EveryRowIsFoundByNameAndDispid) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(std::string(method.name));
    EXPECT_EQ(&method, findMethod(method.name));
    EXPECT_EQ(&method, findMethodByDispid(method.dispid));
  }
}

}  // namespace
}  // namespace kestrune::com
