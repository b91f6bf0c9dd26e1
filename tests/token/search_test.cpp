// Templates and the label search, with its second pass for labels stored with a zero byte.
#include <cstring>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::proxyCalls;
using kestrune::testing::proxyModule;
using kestrune::testing::resetProxyCalls;
using kestrune::testing::setProxyFaults;
using kestrune::testing::softHsmModule;

using TemplateTest = TokenTest;

TEST_F(TemplateTest, WritingEntryZeroClearsTheTemplate) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(softHsmModule()));
  AttributeTemplate tmpl;
  const CK_ULONG bits = 512;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    EXPECT_EQ(i + 1, p11_SetTemplateEntry(tmpl, i, CKA_MODULUS_BITS, &bits, sizeof bits));
  }
  EXPECT_EQ(1u, p11_SetTemplateEntry(tmpl, 0, CKA_LABEL, "L", 1));
  EXPECT_EQ(CKA_LABEL, tmpl[0].type);
  for (std::size_t i = 1; i < tmpl.size(); ++i) {
    EXPECT_EQ(nullptr, tmpl[i].pValue) << i;
    EXPECT_EQ(0u, tmpl[i].ulValueLen) << i;
  }
  // No entry beyond the 32: nothing is written.
  EXPECT_EQ(32u, p11_SetTemplateEntry(tmpl, 32, CKA_LABEL, "L", 1));
}

TEST_F(TemplateTest, LabelTemplateIsTokenPrivacyAndLabelWithoutZero) {
  struct Case {
    std::uint32_t flag;
    CK_BBOOL isPrivate;
  };
  for (const Case c : {Case{1, CK_TRUE}, Case{0, CK_FALSE}, Case{2, CK_FALSE}}) {
    SCOPED_TRACE(c.flag);
    AttributeTemplate tmpl;
    p11_LabelTemplate(c.flag, "EOICert", tmpl);
    EXPECT_EQ(CKA_TOKEN, tmpl[0].type);
    EXPECT_EQ(1u, tmpl[0].ulValueLen);
    EXPECT_EQ(CK_TRUE, *static_cast<CK_BBOOL*>(tmpl[0].pValue));
    EXPECT_EQ(CKA_PRIVATE, tmpl[1].type);
    EXPECT_EQ(c.isPrivate, *static_cast<CK_BBOOL*>(tmpl[1].pValue));
    EXPECT_EQ(CKA_LABEL, tmpl[2].type);
    EXPECT_EQ(7u, tmpl[2].ulValueLen);
    EXPECT_EQ(0, std::memcmp("EOICert", tmpl[2].pValue, 7));
    EXPECT_EQ(0u, tmpl[3].type);
  }
}

class SearchTest : public ProxyTokenTest {};

TEST_F(SearchTest, SecondPassFindsALabelStoredWithItsZero) {
  const CK_OBJECT_HANDLE stored =
      hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001"), .labelWithZero = true});
  open(proxyModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));

  // A label that isn't zero-terminated in memory: the zero comes from the search.
  const std::string labels = "EOISID1EOISID2";
  AttributeTemplate tmpl;
  p11_LabelTemplate(0, std::string_view(labels).substr(0, 7), tmpl);
  const CK_ATTRIBUTE before = tmpl[2];
  resetProxyCalls();
  CK_ULONG found = 0;
  EXPECT_EQ(CKR_OK, p11_FindObjects(&session_, p11_HandleBuffer(), tmpl.data(), 3, &found));
  EXPECT_EQ(1u, found);
  EXPECT_EQ(stored, p11_HandleBuffer()[0]);
  EXPECT_EQ(2u, proxyCalls("C_FindObjectsInit"));
  EXPECT_EQ(2u, proxyCalls("C_FindObjectsFinal"));
  EXPECT_EQ(before.pValue, tmpl[2].pValue);
  EXPECT_EQ(before.ulValueLen, tmpl[2].ulValueLen);

  Bytes value;
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ReadDataValue(&session_, "EOISID1", value));
  EXPECT_EQ(bytesOf("U001"), value);
}

TEST_F(SearchTest, LabelStoredPlainlyTakesOnePass) {
  hsm_.createData(0, {.label = "EOISID2", .value = bytesOf("ORG")});
  open(proxyModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  resetProxyCalls();
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ObjectExists(&session_, "EOISID2"));
  EXPECT_EQ(1u, proxyCalls("C_FindObjectsInit"));
  EXPECT_EQ(3u, proxyCalls());
  resetProxyCalls();
  EXPECT_EQ(+TokenCode::kNotFound, p11_ObjectExists(&session_, "EOISID1"));
  EXPECT_EQ(2u, proxyCalls("C_FindObjectsInit"));
}

TEST_F(SearchTest, SeveralObjectsWithTheLabelAre110) {
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("one")});
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("two")});
  open(proxyModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  Bytes value;
  EXPECT_EQ(+TokenCode::kAmbiguousLabel, p11_ObjectExists(&session_, "EOICert"));
  EXPECT_EQ(+TokenCode::kAmbiguousLabel, p11_ReadDataValue(&session_, "EOICert", value));
  EXPECT_EQ(+TokenCode::kAmbiguousLabel, p11_DestroyObject(&session_, "EOICert"));
  EXPECT_TRUE(value.empty());
}

TEST_F(SearchTest, FailedSearchIs106AndAFailedInitIsRetriedOnce) {
  hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001")});
  open(proxyModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));

  setProxyFaults("C_FindObjectsInit=0x30*1");
  resetProxyCalls();
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ObjectExists(&session_, "EOISID1"));
  EXPECT_EQ(2u, proxyCalls("C_FindObjectsInit"));

  setProxyFaults("C_FindObjectsInit=0x30");
  resetProxyCalls();
  Bytes value;
  EXPECT_EQ(+TokenCode::kSearchFailed, p11_ReadDataValue(&session_, "EOISID1", value));
  EXPECT_EQ(0x30u, p11_GetLastRV());
  EXPECT_EQ(2u, proxyCalls("C_FindObjectsInit"));
  EXPECT_EQ(0u, proxyCalls("C_FindObjectsFinal"));

  setProxyFaults("C_FindObjects=0x32");
  resetProxyCalls();
  AttributeTemplate tmpl;
  p11_LabelTemplate(0, "EOISID1", tmpl);
  CK_ULONG found = 7;
  EXPECT_EQ(0x32u, p11_FindObjects(&session_, p11_HandleBuffer(), tmpl.data(), 3, &found));
  EXPECT_EQ(0u, found);
  EXPECT_EQ(1u, proxyCalls("C_FindObjectsInit"));
  EXPECT_EQ(1u, proxyCalls("C_FindObjectsFinal"));
}

}  // namespace
}  // namespace kestrune::token::test
