// A module that lacks entry points: the operations that need them answer 130 and never call
// through a missing function; the others go on working.
#include <dlfcn.h>

#include <functional>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::kUserPin;
using kestrune::testing::liteProxyModule;

class MissingEntryPointsTest : public ProxyTokenTest {};

TEST_F(MissingEntryPointsTest, OpeningNeedsSessionInfo) {
  open(liteProxyModule(), kUserPin, +TokenCode::kEntryPointMissing);
  // token_Open finalised after the refusal: initialising again works.
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Initialize(0));
  const std::uint64_t calls = p11_CallCount();
  EXPECT_EQ(+TokenCode::kEntryPointMissing, p11_OpenSession(&session_));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, p11_GetLastRV());
  EXPECT_EQ(calls, p11_CallCount());
  EXPECT_EQ(+TokenCode::kTokenOk, p11_Finalize());
}

// The layer can't open a session through this module, so the test opens one with the
// module's own C_OpenSession and hands its handle to the layer.
TEST_F(MissingEntryPointsTest, OperationsWithoutTheirEntryPointAre130) {
  hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  hsm_.createData(0, {.label = "EOICert", .value = bytesOf("cert")});
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(liteProxyModule()));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Initialize(0));
  void* module = dlopen(liteProxyModule(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(nullptr, module);
  auto openSession = reinterpret_cast<CK_C_OpenSession>(dlsym(module, "C_OpenSession"));
  ASSERT_NE(nullptr, openSession);
  ASSERT_EQ(CKR_OK, openSession(hsm_.slots().at(0), CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr,
                                nullptr, &session_.handle));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Login(&session_, kUserPin));

  Bytes output;
  const Bytes data = bytesOf("data");
  struct Case {
    const char* name;
    std::function<std::uint32_t()> run;
  };
  const Case cases[] = {
      {"p11_ChangePin", [&] { return p11_ChangePin(&session_, kUserPin, "654321"); }},
      {"p11_DestroyObject", [&] { return p11_DestroyObject(&session_, "EOICert"); }},
      {"p11_RenameObject", [&] { return p11_RenameObject(&session_, "EOICert", "EOICertNew"); }},
      {"p11_GenerateKeyPair", [&] { return p11_GenerateKeyPair(&session_, "P", "Q", 512); }},
      {"p11_Crypt sign",
       [&] { return p11_Crypt(&session_, kSign, kRsaPkcs, "FEDICA.prikey", data, output); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t calls = p11_CallCount();
    EXPECT_EQ(+TokenCode::kEntryPointMissing, c.run());
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, p11_GetLastRV());
    EXPECT_EQ(calls, p11_CallCount());
  }
  TokenKeyInfo keyInfo;
  ASSERT_EQ(0, token_GetKeyInfo(&keyInfo, &session_, "FEDICA.prikey", 0));
  EXPECT_EQ(-1, token_RsaSign(data.size(), data.data(), output, &keyInfo, 0));

  // What the module does export still works.
  Bytes cipherText;
  ASSERT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kEncrypt, kRsaPkcs, "FEDICA.pubkey", data, cipherText));
  EXPECT_EQ(+TokenCode::kTokenOk,
            p11_Crypt(&session_, kDecrypt, kRsaPkcs, "FEDICA.prikey", cipherText, output));
  EXPECT_EQ(data, output);
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(0));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ObjectExists(&session_, "EOICert"));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_CreateDataObject(&session_, "EOISID1", bytesOf("U001")));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ReadDataValue(&session_, "EOISID1", output));
  EXPECT_EQ(bytesOf(std::string_view("U001\0", 5)), output);

  EXPECT_EQ(+TokenCode::kTokenOk, p11_CloseSession(&session_));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_Finalize());
  dlclose(module);
}

}  // namespace
}  // namespace kestrune::token::test
