// Faults SoftHSM cannot show (a card pulled mid-signature, a device error, a
// PIN that locks), injected into its function list, which the service uses
// as it would any module's.
#include <functional>

#include "../src/p11_core.h"
#include "softhsm_fixture.h"

namespace vellumark::linux_platform::testing {
namespace {

namespace st = platform::status;

// What the wrapped functions do instead of SoftHSM; one test at a time.
struct Faults {
  CK_FUNCTION_LIST* real = nullptr;
  bool removed = false;    // the token is gone from its reader
  bool pinLocked = false;  // the token's flags say so
  CK_RV signRv = CKR_OK;   // C_Sign answers this instead
  bool removeOnSign = false;
  std::function<CK_RV()> login;  // C_Login answers this instead
};
Faults faults;

CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (faults.removed) {
    *count = 0;
    return CKR_OK;
  }
  return faults.real->C_GetSlotList(present, list, count);
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (faults.removed) return CKR_TOKEN_NOT_PRESENT;
  CK_RV rv = faults.real->C_GetTokenInfo(slot, info);
  if (rv == CKR_OK && faults.pinLocked) info->flags |= CKF_USER_PIN_LOCKED;
  return rv;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  if (faults.removed) return CKR_SESSION_HANDLE_INVALID;
  return faults.real->C_GetSessionInfo(session, info);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  if (faults.login) return faults.login();
  return faults.real->C_Login(session, user, pin, length);
}

CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
  if (faults.signRv != CKR_OK) {
    faults.removed = faults.removeOnSign;
    return faults.signRv;
  }
  return faults.real->C_Sign(session, data, length, signature, signatureLength);
}

class FaultTest : public TokenTest {
 protected:
  void startFaulty() {
    CK_FUNCTION_LIST* fn = p11_kit_module_load(kSoftHsm, 0);
    ASSERT_NE(fn, nullptr);
    ASSERT_EQ(p11_kit_module_initialize(fn), CKR_OK);
    faults = Faults{};
    faults.real = fn;
    wrapped_ = *fn;
    wrapped_.C_GetSlotList = getSlotList;
    wrapped_.C_GetTokenInfo = getTokenInfo;
    wrapped_.C_GetSessionInfo = getSessionInfo;
    wrapped_.C_Login = login;
    wrapped_.C_Sign = sign;
    auto module = std::make_shared<p11::Module>("softhsm2", &wrapped_, [fn] {
      p11_kit_module_finalize(fn);
      p11_kit_module_release(fn);
    });
    PinentryOptions pinentry;
    pinentry.program = Fixtures::get().standin.string();
    service = p11::createService({module}, nullptr, createPinentryPrompt(pinentry));
  }

  void TearDown() override {
    TokenTest::TearDown();
    faults = Faults{};
  }

  std::shared_ptr<platform::Key> bobKey() {
    auto identity = service->copyMatching(labelQuery(keyIdOf("Bob Signer"))).item;
    if (!identity) return nullptr;
    return identity->copyPrivateKey().key;
  }

  std::string signatureFailure(platform::Key& key) {
    auto result = key.createSignature(kRsaSha256, sha256("x"));
    if (result.signature) return "signed";
    return result.error ? result.error->description.value_or("") : "";
  }

 private:
  CK_FUNCTION_LIST wrapped_{};
};

TEST_F(FaultTest, CardPulledDuringTheSignatureIsSaidToBeRemoved) {
  startFaulty();
  script({"PIN:4321"});
  auto key = bobKey();
  ASSERT_TRUE(key);
  faults.signRv = CKR_GENERAL_ERROR;
  faults.removeOnSign = true;
  std::string said = signatureFailure(*key);
  EXPECT_TRUE(said.starts_with("The token \"Beta\" was removed during the signature")) << said;
}

TEST_F(FaultTest, DeviceErrorOfATokenStillPresentNamesTheCall) {
  startFaulty();
  script({"PIN:4321"});
  auto key = bobKey();
  ASSERT_TRUE(key);
  faults.signRv = CKR_DEVICE_ERROR;
  std::string said = signatureFailure(*key);
  EXPECT_NE(said.find("\"Beta\" reported an error during the signature"), std::string::npos)
      << said;
  EXPECT_NE(said.find("C_Sign: CKR_DEVICE_ERROR"), std::string::npos) << said;
  // The operation left open on the token does not stand in the way.
  faults.signRv = CKR_OK;
  EXPECT_EQ(signatureFailure(*key), "signed");
}

TEST_F(FaultTest, LoginThatLocksThePinSaysSoInTheSameWordsAsTheNextRequest) {
  startFaulty();
  script({"PIN:0000"});
  faults.login = [] {
    faults.pinLocked = true;
    return CKR_PIN_LOCKED;
  };
  auto identity = service->copyMatching(labelQuery(keyIdOf("Bob Signer"))).item;
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->copyPrivateKey().status, st::kAuthFailed);
  std::string first = service->copyErrorMessageString(st::kAuthFailed).value_or("");
  EXPECT_NE(first.find("The PIN of the token \"Beta\" is blocked"), std::string::npos) << first;

  identity = service->copyMatching(labelQuery(keyIdOf("Bob Signer"))).item;
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->copyPrivateKey().status, st::kAuthFailed);
  EXPECT_EQ(service->copyErrorMessageString(st::kAuthFailed), first);
  EXPECT_EQ(timesAsked(), 1);  // a blocked PIN is not asked for
}

TEST_F(FaultTest, CancelBetweenTwoPromptsStopsTheAsking) {
  startFaulty();
  script({"PIN:0000", "PIN:4321"});
  faults.login = [this] {
    service->cancelInteraction();  // arrives while the token checks the PIN
    return CKR_PIN_INCORRECT;
  };
  auto identity = service->copyMatching(labelQuery(keyIdOf("Bob Signer"))).item;
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->copyPrivateKey().status, st::kUserCanceled);
  EXPECT_EQ(timesAsked(), 1);
}

}  // namespace
}  // namespace vellumark::linux_platform::testing
