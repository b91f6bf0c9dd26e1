// The library table: loading by name, the eight rows, the vendor re-initialisation rule, and
// every function's answer when no library is loaded.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::proxyModule;

class LibraryTableTest : public ::testing::Test {
 protected:
  void TearDown() override { p11_UnloadAll(); }
};

// A folder of differently named links to the proxy module.
class ModuleLinks {
 public:
  explicit ModuleLinks(int count) {
    char pattern[] = "/tmp/kestrune-modules-XXXXXX";
    dir_ = mkdtemp(pattern);
    for (int i = 0; i < count; ++i) {
      names_.push_back(dir_ + "/libvendor" + std::to_string(i) + ".so");
      std::filesystem::create_symlink(proxyModule(), names_.back());
    }
  }
  ~ModuleLinks() { std::filesystem::remove_all(dir_); }
  const std::string& name(int i) const { return names_[static_cast<std::size_t>(i)]; }

 private:
  std::string dir_;
  std::vector<std::string> names_;
};

std::string upperCase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(LibraryTableTest, SameNameInAnyCaseLoadsOnce) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(proxyModule()));
  EXPECT_EQ(1u, p11_LibraryCount());
  // The upper-case path names no file: a second load would fail, so 0 means it matched.
  EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(upperCase(proxyModule()).c_str()));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(proxyModule()));
  EXPECT_EQ(1u, p11_LibraryCount());
}

TEST_F(LibraryTableTest, UnknownModuleIs128AndLoadsNothing) {
  EXPECT_EQ(+TokenCode::kLoadFailed, p11_LoadLibrary("/nonexistent/libnothing.so"));
  EXPECT_EQ(+TokenCode::kLoadFailed, p11_LoadLibrary(nullptr));
  EXPECT_EQ(0u, p11_LibraryCount());
}

TEST_F(LibraryTableTest, NinthLibraryIsRefusedAndRowsStay) {
  ModuleLinks links(9);
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(links.name(i).c_str())) << i;
  EXPECT_EQ(8u, p11_LibraryCount());
  p11_SetReinit(7);

  EXPECT_EQ(+TokenCode::kTableFull, p11_LoadLibrary(links.name(8).c_str()));
  EXPECT_EQ(8u, p11_LibraryCount());
  EXPECT_EQ(7, p11_GetReinit());
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(links.name(i).c_str())) << i;
  EXPECT_EQ(8u, p11_LibraryCount());

  p11_UnloadAll();
  EXPECT_EQ(0u, p11_LibraryCount());
  EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(links.name(8).c_str()));
  EXPECT_EQ(1u, p11_LibraryCount());
}

// The build links "dkck201", "dkck201.dll" and two other spellings to the proxy on this test's
// library path, as a vendor module is found by its bare name.
TEST_F(LibraryTableTest, ReinitFollowsTheVendorModuleName) {
  struct Case {
    const char* name;
    std::int32_t reinit;
  };
  const Case cases[] = {{"dkck201", 1},     {"dkck201.dll", 1}, {"DKCK201.DLL", 1},
                        {"Dkck201.Dll", 1}, {"dkck201.so", 0},  {proxyModule(), 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    p11_SetReinit(5);
    ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(c.name));
    EXPECT_EQ(c.reinit, p11_GetReinit());
    p11_UnloadAll();
  }
}

TEST_F(LibraryTableTest, SetReinitHoldsUntilTheNextLoad) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary("dkck201.dll"));
  EXPECT_EQ(1, p11_GetReinit());
  p11_SetReinit(0);
  EXPECT_EQ(0, p11_GetReinit());
  // Matching the loaded row by another spelling applies the rule again.
  EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary("DKCK201.dll"));
  EXPECT_EQ(1u, p11_LibraryCount());
  EXPECT_EQ(1, p11_GetReinit());
  EXPECT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(proxyModule()));
  EXPECT_EQ(2u, p11_LibraryCount());
  EXPECT_EQ(0, p11_GetReinit());
}

TEST_F(LibraryTableTest, EveryFunctionNeedsALibrary) {
  TokenSession session;
  Bytes value;
  std::vector<TokenObjectRecord> records;
  AttributeTemplate tmpl{};
  TokenKeyInfo keyInfo;
  const std::uint8_t data[4] = {1, 2, 3, 4};
  const std::uint64_t calls = p11_CallCount();
  struct Case {
    const char* name;
    std::function<std::int64_t()> run;
  };
  const Case cases[] = {
      {"p11_Initialize", [] { return p11_Initialize(0); }},
      {"p11_Finalize", [] { return p11_Finalize(); }},
      {"p11_OpenSession", [&] { return p11_OpenSession(&session); }},
      {"p11_CloseSession", [&] { return p11_CloseSession(&session); }},
      {"p11_Login", [&] { return p11_Login(&session, "123456"); }},
      {"p11_SetPrivateObjects", [] { return p11_SetPrivateObjects(1); }},
      {"p11_ChangePin", [&] { return p11_ChangePin(&session, "1", "2"); }},
      {"p11_SetTemplateEntry", [&] { return p11_SetTemplateEntry(tmpl, 0, CKA_LABEL, "x", 1); }},
      {"token_Open", [&] { return token_Open(&session, "123456"); }},
      {"p11_CreateDataObject", [&] { return p11_CreateDataObject(&session, "L", data); }},
      {"p11_ReadDataValue", [&] { return p11_ReadDataValue(&session, "L", value); }},
      {"p11_ReadCertificateValue", [&] { return p11_ReadCertificateValue(&session, "L", value); }},
      {"p11_ReadDataApplication", [&] { return p11_ReadDataApplication(&session, "L", value); }},
      {"p11_DestroyObject", [&] { return p11_DestroyObject(&session, "L"); }},
      {"p11_ObjectExists", [&] { return p11_ObjectExists(&session, "L"); }},
      {"p11_RenameObject", [&] { return p11_RenameObject(&session, "L", "M"); }},
      {"p11_ListObjects", [&] { return p11_ListObjects(&session, kKindData, records); }},
      {"p11_GenerateKeyPair", [&] { return p11_GenerateKeyPair(&session, "P", "Q", 512); }},
      {"p11_GetPublicKeyParts",
       [&] { return p11_GetPublicKeyParts(&session, "P", &value, &value); }},
      {"p11_GetModulus", [&] { return p11_GetModulus(&session, "P", value); }},
      {"p11_Crypt", [&] { return p11_Crypt(&session, kSign, kRsaPkcs, "Q", data, value); }},
      {"token_GetKeyInfo", [&] { return token_GetKeyInfo(&keyInfo, &session, "Q", 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(+TokenCode::kNoLibrary, c.run());
  }
  EXPECT_EQ(-1, token_RsaSign(sizeof data, data, value, &keyInfo, 0));
  EXPECT_EQ(calls, p11_CallCount());
}

}  // namespace
}  // namespace kestrune::token::test
