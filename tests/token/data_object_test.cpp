// Data objects by label: what creation stores, reads, deletion, renaming, and the codes when
// the token refuses.
#include <functional>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::proxyModule;
using kestrune::testing::setProxyFaults;
using kestrune::testing::softHsmModule;

class DataObjectTest : public ProxyTokenTest {
 protected:
  // The object attributes are read through the fixture, so the layer closes first.
  std::vector<std::uint8_t> stored(std::string_view label, CK_ATTRIBUTE_TYPE type) {
    close();
    return hsm_.attribute(0, label, type);
  }
};

TEST_F(DataObjectTest, CreateStoresTextWithItsZeroAndTheApplication) {
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_CreateDataObject(&session_, "EOISID1", bytesOf("abc")));
  EXPECT_NE(CK_INVALID_HANDLE, p11_HandleBuffer()[0]);

  Bytes value;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_ReadDataValue(&session_, "EOISID1", value));
  EXPECT_EQ(Bytes({'a', 'b', 'c', 0}), value);
  Bytes application;
  ASSERT_EQ(+TokenCode::kTokenOk, p11_ReadDataApplication(&session_, "EOISID1", application));
  EXPECT_EQ(bytesOf(std::string_view("Vornix-P11\0", 11)), application);

  const CK_OBJECT_CLASS dataClass = CKO_DATA;
  const auto* classBytes = reinterpret_cast<const std::uint8_t*>(&dataClass);
  EXPECT_EQ(Bytes(classBytes, classBytes + sizeof dataClass), stored("EOISID1", CKA_CLASS));
  EXPECT_EQ(Bytes{CK_FALSE}, hsm_.attribute(0, "EOISID1", CKA_PRIVATE));
  EXPECT_EQ(Bytes{CK_TRUE}, hsm_.attribute(0, "EOISID1", CKA_TOKEN));
  EXPECT_EQ(bytesOf("EOISID1"), hsm_.attribute(0, "EOISID1", CKA_LABEL));
  EXPECT_EQ(4u, hsm_.attribute(0, "EOISID1", CKA_VALUE).size());
}

TEST_F(DataObjectTest, PrivateObjectsFollowTheFlag) {
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_CreateDataObject(&session_, "UserData", bytesOf("record")));
  Bytes value;
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ReadDataValue(&session_, "UserData", value));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  EXPECT_EQ(+TokenCode::kNotFound, p11_ReadDataValue(&session_, "UserData", value));
  EXPECT_EQ(Bytes{CK_TRUE}, stored("UserData", CKA_PRIVATE));
}

TEST_F(DataObjectTest, CreatingAnExistingLabelIs107AndChangesNothing) {
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("first")});
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  const std::uint64_t calls = p11_CallCount();
  EXPECT_EQ(+TokenCode::kLabelExists,
            p11_CreateDataObject(&session_, "EOICert", bytesOf("second")));
  EXPECT_EQ(3u, p11_CallCount() - calls);  // one search round finds it; nothing is created
  close();
  EXPECT_EQ(std::vector<std::string>{"EOICert"}, hsm_.labels(0));
  EXPECT_EQ(bytesOf("first"), hsm_.attribute(0, "EOICert", CKA_VALUE));
}

TEST_F(DataObjectTest, CertificateValueIsReadFromCertificateObjects) {
  const Certificate certificate = selfSignedCertificate("U001");
  hsm_.createCertificate(0, "ZRML", certificate.der);
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  Bytes value;
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ReadCertificateValue(&session_, "ZRML", value));
  EXPECT_EQ(certificate.der, value);
  Bytes untouched = {9};
  EXPECT_EQ(+TokenCode::kNotFound, p11_ReadDataValue(&session_, "ZRML", untouched));
  EXPECT_EQ(Bytes{9}, untouched);
}

TEST_F(DataObjectTest, RenameWritesTheLabelWithoutZeroAndDestroyRemoves) {
  hsm_.createData(0, {.label = "EOICertNew", .value = bytesOf("renewed")});
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("expired")});
  open(softHsmModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_DestroyObject(&session_, "EOICert"));
  EXPECT_EQ(+TokenCode::kNotFound, p11_ObjectExists(&session_, "EOICert"));
  EXPECT_EQ(+TokenCode::kNotFound, p11_DestroyObject(&session_, "EOICert"));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_RenameObject(&session_, "EOICertNew", "EOICert"));
  EXPECT_EQ(+TokenCode::kNotFound, p11_RenameObject(&session_, "EOICertNew", "EOICert"));
  EXPECT_EQ(+TokenCode::kNotFound, p11_ObjectExists(&session_, "EOICertNew"));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ObjectExists(&session_, "EOICert"));
  EXPECT_EQ(bytesOf("EOICert"), stored("EOICert", CKA_LABEL));
  EXPECT_EQ(bytesOf("renewed"), hsm_.attribute(0, "EOICert", CKA_VALUE));
}

TEST_F(DataObjectTest, RefusalsHaveTheirCodesAndKeepTheModuleValue) {
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("cert")});
  open(proxyModule());
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  struct Case {
    const char* faults;
    std::function<std::uint32_t()> run;
    std::uint32_t code;
    CK_RV lastRV;
  };
  Bytes value;
  const Case cases[] = {
      {"C_CreateObject=0x31", [&] { return p11_CreateDataObject(&session_, "EOISID1", {}); },
       +TokenCode::kCreateFailed, CKR_DEVICE_MEMORY},
      {"C_DestroyObject=0x5", [&] { return p11_DestroyObject(&session_, "EOICert"); },
       +TokenCode::kDestroyFailed, CKR_GENERAL_ERROR},
      {"C_SetAttributeValue=0x10",
       [&] { return p11_RenameObject(&session_, "EOICert", "EOICertNew"); },
       +TokenCode::kRenameFailed, CKR_ATTRIBUTE_READ_ONLY},
      {"C_GetAttributeValue=0x5*1", [&] { return p11_ReadDataValue(&session_, "EOICert", value); },
       +TokenCode::kAttributeReadFailed, CKR_GENERAL_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    setProxyFaults(c.faults);
    EXPECT_EQ(c.code, c.run());
    EXPECT_EQ(c.lastRV, p11_GetLastRV());
  }
  setProxyFaults("");
  EXPECT_TRUE(value.empty());
  close();
  EXPECT_EQ(std::vector<std::string>{"EOICert"}, hsm_.labels(0));
}

}  // namespace
}  // namespace kestrune::token::test
