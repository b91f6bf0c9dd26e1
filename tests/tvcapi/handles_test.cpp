// The handle model: every operation's checks of the handle it is given, release by kind, blobs
// and the selection-dialog message.
#include "tests/tvcapi/core_fixture.h"

#include <cstdlib>
#include <cstring>

#include "TVCAPI/tvcapi_internal.h"

namespace kestrune::testing::tvcapi_core {
namespace {

using HandlesTest = CoreTest;

// One call per operation that takes a handle of a given type.
struct Check {
  const char* name;
  std::uint32_t type;
  int (*call)(TVCAPIHandle*);
};

int subject(TVCAPIHandle* h) {
  char* text = nullptr;
  return TVXCAPI_CertGetSubject(h, 0, &text);
}
int issuer(TVCAPIHandle* h) {
  char* text = nullptr;
  return TVXCAPI_CertGetIssuer(h, 0, &text);
}
int serial(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return TVXCAPI_CertGetSerialNumber(h, 0, &blob);
}
int providerName(TVCAPIHandle* h) {
  char* name = nullptr;
  return TVXCAPI_CertGetProviderName(h, &name, nullptr);
}
int privateKey(TVCAPIHandle* h) {
  TVCAPIHandle* key = nullptr;
  return TVXCAPI_GetPrivateKey(h, &key);
}
int pin(TVCAPIHandle* h) {
  return TVXCAPI_SetPrivateKeyPin(h, "1234", 0);
}
int sign(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return TVXCAPI_PureSign(h, reinterpret_cast<const uint8_t*>("data"), 4, 0x10000, &blob);
}
int verify(TVCAPIHandle* h) {
  return TVXCAPI_PureVerify(h, reinterpret_cast<const uint8_t*>("sig"), 3,
                            reinterpret_cast<const uint8_t*>("data"), 4, 0x10000);
}
int encrypt(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return TVXCAPI_PublicEncrypt(h, reinterpret_cast<const uint8_t*>("data"), 4, 0, &blob);
}
int decrypt(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return TVXCAPI_PrivateDecrypt(h, reinterpret_cast<const uint8_t*>("data"), 4, 0, &blob);
}
int encodeCertificate(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return tvxCAPICertificateCoder.encode(h, &blob, 0, nullptr);
}
int encodePrivateKey(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return tvxCAPIPrivateKeyCoder.encode(h, &blob, 0, nullptr);
}
int encodePublicKey(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return tvxCAPIPublicKeyCoder.encode(h, &blob, 0, nullptr);
}
int encodePkcs7(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return tvxCAPIPKCS7Coder.encode(h, &blob, 0, nullptr);
}
int encodeSignerInfo(TVCAPIHandle* h) {
  TVCAPI_BLOB blob{0, nullptr};
  return tvxCAPISignerInfoCoder.encode(h, &blob, 0, nullptr);
}

const Check kChecks[] = {
    {"TVXCAPI_CertGetSubject", TVCAPI_CERTIFICATE, subject},
    {"TVXCAPI_CertGetIssuer", TVCAPI_CERTIFICATE, issuer},
    {"TVXCAPI_CertGetSerialNumber", TVCAPI_CERTIFICATE, serial},
    {"TVXCAPI_CertGetProviderName", TVCAPI_CERTIFICATE, providerName},
    {"TVXCAPI_GetPrivateKey", TVCAPI_CERTIFICATE, privateKey},
    {"TVXCAPI_SetPrivateKeyPin", TVCAPI_PRIVATE_KEY, pin},
    {"TVXCAPI_PureSign", TVCAPI_PRIVATE_KEY, sign},
    {"TVXCAPI_PureVerify", TVCAPI_PUBLIC_KEY, verify},
    {"TVXCAPI_PublicEncrypt", TVCAPI_PUBLIC_KEY, encrypt},
    {"TVXCAPI_PrivateDecrypt", TVCAPI_PRIVATE_KEY, decrypt},
    {"certificate encode", TVCAPI_CERTIFICATE, encodeCertificate},
    {"private-key encode", TVCAPI_PRIVATE_KEY, encodePrivateKey},
    {"public-key encode", TVCAPI_PUBLIC_KEY, encodePublicKey},
    {"PKCS#7 encode", TVCAPI_PKCS7, encodePkcs7},
    {"signer-information encode", TVCAPI_SIGNER_INFO, encodeSignerInfo},
};

TEST_F(HandlesTest, EveryOperationChecksItsHandle) {
  int object = 0;
  for (const auto& check : kChecks) {
    SCOPED_TRACE(check.name);
    EXPECT_EQ(5005, check.call(nullptr));
    TVCAPIHandle empty{check.type, nullptr, nullptr, {nullptr}};
    EXPECT_EQ(5005, check.call(&empty));
    TVCAPIHandle other{TVCAPI_STORE_LIST, &object, nullptr, {nullptr}};  // no check takes one
    EXPECT_EQ(5006, check.call(&other));
  }
  EXPECT_EQ(-1, TVXCAPI_KeySize(nullptr));
  TVCAPIHandle store{TVCAPI_STORE_LIST, &object, nullptr, {nullptr}};
  EXPECT_EQ(-1, TVXCAPI_KeySize(&store));
}

TEST_F(HandlesTest, NullOutputsAreRefused) {
  TVCAPIHandle* cert = certificateHandle(selfSigned(newRsaKey(512).get(), "Alice", 1));
  ASSERT_NE(nullptr, cert);
  EXPECT_EQ(5005, TVXCAPI_CertGetSubject(cert, 0, nullptr));
  EXPECT_EQ(5005, TVXCAPI_CertGetIssuer(cert, 0, nullptr));
  EXPECT_EQ(5005, TVXCAPI_CertGetSerialNumber(cert, 0, nullptr));
  EXPECT_EQ(5005, TVXCAPI_CertGetProviderName(cert, nullptr, nullptr));
  EXPECT_EQ(5005, TVXCAPI_GetPrivateKey(cert, nullptr));
  EXPECT_EQ(5005, tvxCAPICreateHandle(nullptr, 1, nullptr, nullptr, nullptr));
  EXPECT_EQ(5005, TVXCAPI_AcquireCSP(nullptr));
  TVXCAPI_FreeHandle(cert);
  TVXCAPI_FreeHandle(nullptr);
}

TEST_F(HandlesTest, CreatedHandleHoldsWhatItWasGiven) {
  TVCAPIHandle* handle = nullptr;
  auto* list = static_cast<StoreList*>(std::calloc(1, sizeof(StoreList)));
  ASSERT_EQ(0, tvxCAPICreateHandle(&handle, TVCAPI_STORE_LIST, list, nullptr, nullptr));
  EXPECT_EQ(static_cast<std::uint32_t>(TVCAPI_STORE_LIST), handle->type);
  EXPECT_EQ(list, handle->data);
  EXPECT_EQ(nullptr, handle->coder);
  EXPECT_EQ(nullptr, handle->keyOps);
  TVXCAPI_FreeHandle(handle);  // frees the empty list too
}

TEST_F(HandlesTest, FreeBlobClearsBothFields) {
  TVCAPI_BLOB blob{7, static_cast<uint8_t*>(std::malloc(7))};
  TVXCAPI_FreeBlob(&blob);
  EXPECT_EQ(0u, blob.count);
  EXPECT_EQ(nullptr, blob.data);
  TVXCAPI_FreeBlob(&blob);
  TVXCAPI_FreeBlob(nullptr);
}

TEST_F(HandlesTest, DialogMessageIsACopyWithItsLength) {
  char text[] = "\xbd\xd0\xbf\xef\xbe\xdc and more";
  TVXCAPI_SetDialogMessage(text, 6);
  std::memset(text, 'x', sizeof text - 1);
  std::uint32_t length = 0;
  const char* message = tvxCAPIDialogMessage(&length);
  ASSERT_NE(nullptr, message);
  EXPECT_EQ(6u, length);
  EXPECT_EQ(std::string("\xbd\xd0\xbf\xef\xbe\xdc"), std::string(message));
  TVXCAPI_SetDialogMessage(message + 2, 4);  // a part of the message it replaces
  EXPECT_EQ(std::string("\xbf\xef\xbe\xdc"), std::string(tvxCAPIDialogMessage(&length)));
  EXPECT_EQ(4u, length);
  TVXCAPI_SetDialogMessage(nullptr, 3);
  EXPECT_EQ(nullptr, tvxCAPIDialogMessage(&length));
  EXPECT_EQ(0u, length);
  TVXCAPI_SetDialogMessage("again", 5);
  tvxCAPIClearDialogMessage();
  EXPECT_EQ(nullptr, tvxCAPIDialogMessage(nullptr));
}

TEST_F(HandlesTest, DebugMessagesOnlyWithTheFlag) {
  tvxCAPIDebugMessage("%s:%d:%s", "TVCAPICipher", 7, "TVXCAPI_PureSign");
  EXPECT_TRUE(messages().empty());
  TVXCAPI_SetDebugFlag(1);
  tvxCAPIDebugMessage("%s:%d:%s", "TVCAPICipher", 7, "TVXCAPI_PureSign");
  ASSERT_EQ(1u, messages().size());
  EXPECT_EQ("TVCAPICipher:7:TVXCAPI_PureSign", messages()[0].text);
  EXPECT_EQ("Debug Message", messages()[0].caption);
}

}  // namespace
}  // namespace kestrune::testing::tvcapi_core
