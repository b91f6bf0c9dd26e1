// The handle model: every operation's checks of the handle it is given, release by kind, blobs
// and the selection-dialog message.
#include "tests/tvcapi/core_fixture.h"

#include <cstdlib>
#include <cstring>

#include "TVCAPI/tvcapi_internal.h"

namespace kestrune::testing {
namespace {

using HandlesTest = CoreTest;

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
}  // namespace kestrune::testing
