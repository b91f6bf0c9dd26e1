// Initialising, the slot choice, the session, login and PIN change, and how a failed step of
// opening the token undoes the earlier ones.
#include "tests/token/token_test.h"

namespace kestrune::token::test {
namespace {

using kestrune::testing::kUserPin;
using kestrune::testing::proxyCalls;
using kestrune::testing::proxyModule;
using kestrune::testing::resetProxyCalls;
using kestrune::testing::setProxyFaults;
using kestrune::testing::softHsmModule;

using SessionTest = TokenTest;

TEST_F(SessionTest, OpensALoggedInReadWriteSessionOnTheFirstToken) {
  open(softHsmModule());
  EXPECT_NE(CK_INVALID_HANDLE, session_.handle);
  EXPECT_EQ(hsm_.slots().at(0), session_.info.slotID);
  // The information is read on opening, before the login.
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, session_.info.state);
  EXPECT_EQ(CKF_RW_SESSION | CKF_SERIAL_SESSION,
            session_.info.flags & (CKF_RW_SESSION | CKF_SERIAL_SESSION));
  EXPECT_EQ(1u, p11_GetPrivateObjects());
  EXPECT_EQ(CKR_OK, p11_GetLastRV());
}

TEST_F(SessionTest, NullPinOpensAPublicSession) {
  hsm_.createData(0, {.label = "EOISID1", .value = bytesOf("U001")});
  hsm_.createData(0, {.label = "UserData", .value = bytesOf("secret"), .isPrivate = true});
  open(softHsmModule(), nullptr);
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, session_.info.state);
  EXPECT_EQ(0u, p11_GetPrivateObjects());
  Bytes value;
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ReadDataValue(&session_, "EOISID1", value));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_SetPrivateObjects(1));
  EXPECT_EQ(+TokenCode::kNotFound, p11_ReadDataValue(&session_, "UserData", value));
}

TEST_F(SessionTest, SessionWithoutSlotsIs101TokenNotPresent) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(softHsmModule()));
  const std::uint64_t calls = p11_CallCount();
  EXPECT_EQ(+TokenCode::kInitializeFailed, p11_OpenSession(&session_));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11_GetLastRV());
  EXPECT_EQ(calls, p11_CallCount());
}

TEST_F(SessionTest, FinalizeForgetsTheSlots) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(softHsmModule()));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Initialize(0));
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Finalize());
  EXPECT_EQ(+TokenCode::kInitializeFailed, p11_OpenSession(&session_));
}

TEST_F(SessionTest, WrongPinIs102AndLeavesTheTokenClosed) {
  open(softHsmModule(), "000000", +TokenCode::kLoginRefused);
  // Closed and finalised: a fresh open succeeds, which a still-initialised module would refuse.
  open(softHsmModule(), nullptr);
  EXPECT_EQ(+TokenCode::kLoginRefused, p11_Login(&session_, "000000"));
  EXPECT_EQ(CKR_PIN_INCORRECT, p11_GetLastRV());
  EXPECT_EQ(0u, p11_GetPrivateObjects());
  EXPECT_EQ(+TokenCode::kTokenOk, p11_Login(&session_, kUserPin));
  EXPECT_EQ(1u, p11_GetPrivateObjects());
}

TEST_F(SessionTest, ChangePinTakesEffectAndWrongOldPinIs103) {
  open(softHsmModule());
  EXPECT_EQ(+TokenCode::kPinChangeRefused, p11_ChangePin(&session_, "999999", "654321"));
  EXPECT_EQ(+TokenCode::kTokenOk, p11_ChangePin(&session_, kUserPin, "654321"));
  close();
  open(softHsmModule(), kUserPin, +TokenCode::kLoginRefused);
  open(softHsmModule(), "654321");
}

class TwoTokenSessionTest : public TokenTest {
 protected:
  TwoTokenSessionTest() : TokenTest(2) {}
};

TEST_F(TwoTokenSessionTest, RequestedSlotIndexChoosesTheSlot) {
  // SoftHSM2 adds an uninitialised token after ours: three slots have a token present.
  const auto slots = hsm_.slots();
  ASSERT_EQ(2u, slots.size());
  struct Case {
    std::uint32_t index;
    CK_SLOT_ID slot;
  };
  const Case cases[] = {{0, slots[0]}, {1, slots[1]}, {3, slots[0]}, {99, slots[0]}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    token_SetSlotIndex(c.index);
    open(softHsmModule());
    EXPECT_EQ(c.slot, session_.info.slotID);
    close();
  }
}

class ProxySessionTest : public ProxyTokenTest {};

TEST_F(ProxySessionTest, NoTokenPresentIs105AndFinalised) {
  setProxyFaults("C_GetSlotList=empty");
  open(proxyModule(), kUserPin, +TokenCode::kNoTokenPresent);
  EXPECT_EQ(1u, proxyCalls("C_Initialize"));
  EXPECT_EQ(1u, proxyCalls("C_Finalize"));
  EXPECT_EQ(0u, proxyCalls("C_OpenSession"));
  setProxyFaults("");
  open(proxyModule());
}

TEST_F(ProxySessionTest, FailedStepsUndoTheEarlierOnes) {
  struct Case {
    const char* faults;
    std::uint32_t code;
    std::uint64_t closeSessions;
    std::uint64_t finalizes;
  };
  const Case cases[] = {
      {"C_Initialize=0x6", +TokenCode::kInitializeFailed, 0, 0},
      {"C_GetSlotList=0x30", +TokenCode::kNotFound, 0, 1},
      {"C_OpenSession=0x3", +TokenCode::kOpenSessionFailed, 0, 1},
      {"C_GetSessionInfo=0x30", +TokenCode::kOpenSessionFailed, 1, 1},
      {"C_Login=0xA0", +TokenCode::kLoginRefused, 1, 1},
      {"C_Login=0xA4", +TokenCode::kPinLocked, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    setProxyFaults(c.faults);
    resetProxyCalls();
    open(proxyModule(), kUserPin, c.code);
    EXPECT_EQ(c.closeSessions, proxyCalls("C_CloseSession"));
    EXPECT_EQ(c.finalizes, proxyCalls("C_Finalize"));
    setProxyFaults("");
    open(proxyModule());
    close();
  }
}

TEST_F(ProxySessionTest, CleanUpCallsKeepTheFailure) {
  ASSERT_EQ(+TokenCode::kTokenOk, p11_LoadLibrary(proxyModule()));
  setProxyFaults("C_GetSlotList=0x30");
  EXPECT_EQ(+TokenCode::kNotFound, p11_Initialize(0));
  EXPECT_EQ(0x30u, p11_GetLastRV());  // not the C_Finalize after it

  setProxyFaults("C_GetSessionInfo=0x32");
  ASSERT_EQ(+TokenCode::kTokenOk, p11_Initialize(0));
  EXPECT_EQ(+TokenCode::kOpenSessionFailed, p11_OpenSession(&session_));
  EXPECT_EQ(0x32u, p11_GetLastRV());  // not the C_CloseSession after it
  EXPECT_EQ(CK_INVALID_HANDLE, session_.handle);
  EXPECT_EQ(+TokenCode::kTokenOk, p11_Finalize());
}

TEST_F(ProxySessionTest, CloseAndFinalizeFailuresHaveTheirCodes) {
  open(proxyModule());
  setProxyFaults("C_CloseSession=0xB3*1;C_Finalize=0x5*1");
  EXPECT_EQ(+TokenCode::kCloseSessionFailed, p11_CloseSession(&session_));
  EXPECT_EQ(+TokenCode::kFinalizeFailed, p11_Finalize());
  EXPECT_EQ(0x5u, p11_GetLastRV());
  token_Close(&session_);
  opened_ = false;
}

}  // namespace
}  // namespace kestrune::token::test
