// The channel over the memory keychain: the shared behaviour suite, and what
// only a scripted keychain can show (failures, a locked store, no store,
// availability changes, teardown with calls in flight).
#include "platform_fakes/fake_keychain.h"
#include "storage_suite.h"

namespace vellumark::secure_storage::testing {

struct MemoryBackend {
  platform::fakes::FakeKeychainServices fake;
  std::shared_ptr<platform::KeychainServices> services() { return fake.services(); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Memory, StorageSuite, MemoryBackend);

namespace {

using Operation = platform::fakes::FakeKeychain::Operation;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ChannelTest : public ::testing::Test {
 protected:
  ChannelTest() : harness(platform::Lazy<platform::KeychainServices>::of(fake.services()), false) {}
  ChannelValue with(const std::string& key,
                    std::vector<std::pair<std::string, std::string>> options = {}) {
    return arguments(key, std::nullopt, std::move(options));
  }
  ChannelValue with(const std::string& key, const std::string& value,
                    std::vector<std::pair<std::string, std::string>> options = {}) {
    return arguments(key, value, std::move(options));
  }
  platform::fakes::FakeKeychainServices fake;
  StorageHarness harness;
};

TEST_F(ChannelTest, StatusesWithoutATextAreNamedByNumber) {
  // A status the platform has no text for: the number alone.
  fake.keychain->failNext(Operation::CopyMatching, -9876);
  ChannelError read = harness.failure("read", with("k"));
  EXPECT_EQ(read.message, "Unknown security result code: -9876");
  EXPECT_EQ(read.details, ChannelValue(int32_t{-9876}));
  // containsKey's failure carries the text alone.
  fake.keychain->setReportsTexts(true);
  fake.keychain->failNext(Operation::CopyMatching, -25293);
  ChannelError contains = harness.failure("containsKey", with("k"));
  EXPECT_EQ(contains.code, "Unexpected security result code");
  EXPECT_EQ(contains.message, "The user name or passphrase you entered is not correct.");
  EXPECT_EQ(contains.details, ChannelValue(int32_t{-25293}));
  fake.keychain->setReportsTexts(false);
  fake.keychain->failNext(Operation::CopyMatching, -25293);
  EXPECT_EQ(harness.failure("containsKey", with("k")).message,
            "Unknown security result code: -25293");
}

TEST_F(ChannelTest, AFailedUpdateIsFollowedByDeleteAndAdd) {
  harness.success("write", with("k", "old"));
  fake.keychain->failNext(Operation::Update, -25293);
  EXPECT_EQ(harness.success("write", with("k", "new")), ChannelValue());
  EXPECT_EQ(harness.success("read", with("k")), ChannelValue("new"));
  EXPECT_EQ(fake.keychain->items().size(), 1u);
  const auto calls = fake.keychain->calls();
  EXPECT_THAT(std::vector<Operation>(calls.end() - 5, calls.end()),
              ElementsAre(Operation::Update, Operation::Remove, Operation::Remove, Operation::Add,
                          Operation::CopyMatching));
}

TEST_F(ChannelTest, RefusedQueriesNeverReachTheKeychain) {
  for (const char* method : {"read", "write", "delete", "deleteAll", "readAll", "containsKey"}) {
    SCOPED_TRACE(method);
    ChannelError error =
        harness.failure(method, with("k", "v", {{"isHidden", "true"}, {"isPlaceholder", "true"}}));
    EXPECT_EQ(error.details, ChannelValue(int32_t{-50}));
  }
  EXPECT_THAT(fake.keychain->calls(), IsEmpty());
}

TEST_F(ChannelTest, ALockedStoreAsksOnlyWhenItMay) {
  harness.success("write", with("k", "v"));
  fake.keychain->setLocked(true);
  ChannelError denied =
      harness.failure("read", with("k", {{"authenticationUIBehavior", "u_AuthUIF"}}));
  EXPECT_EQ(denied.details, ChannelValue(int32_t{-25308}));
  EXPECT_EQ(denied.message, "Code: -25308, Message: User interaction is not allowed.");
  EXPECT_EQ(fake.keychain->prompts(), 0);
  fake.keychain->setPromptDismissed(true);
  EXPECT_EQ(harness.failure("read", with("k")).details, ChannelValue(int32_t{-128}));
  fake.keychain->setPromptDismissed(false);
  EXPECT_EQ(harness.success("read", with("k")), ChannelValue("v"));
  EXPECT_EQ(fake.keychain->prompts(), 2);
}

TEST_F(ChannelTest, WithoutAKeychainEveryCallSaysSo) {
  StorageHarness none(platform::Lazy<platform::KeychainServices>(
                          [] { return std::shared_ptr<platform::KeychainServices>(); }),
                      false);
  EXPECT_EQ(none.failure("read", with("k")).message,
            "Code: -25291, Message: No keychain is available.");
  EXPECT_EQ(none.failure("containsKey", with("k")).details, ChannelValue(int32_t{-25291}));
  EXPECT_EQ(none.success("isProtectedDataAvailable"), ChannelValue(false));
  none.eventUi().listen(kEvents);
  none.drain();
}

TEST_F(ChannelTest, TheKeychainIsMadeOnlyWhenFirstNeeded) {
  int made = 0;
  StorageHarness lazy(platform::Lazy<platform::KeychainServices>([&] {
                        ++made;
                        return fake.services();
                      }),
                      true);
  EXPECT_EQ(made, 0);
  lazy.send("isProtectedDataAvailable");
  lazy.mainQueue->runUntil([&] { return lazy.answers.size() == 1; });
  EXPECT_EQ(made, 1);
  EXPECT_EQ(lazy.answers[0].response, MethodResponse(ChannelValue(true)));
  EXPECT_NE(lazy.answers[0].thread, std::thread::id());
}

TEST_F(ChannelTest, AvailabilityEventsFollowRealChangesOnly) {
  auto& ui = harness.eventUi();
  EXPECT_EQ(harness.success("isProtectedDataAvailable"), ChannelValue(true));
  ui.listen(kEvents);
  harness.drain();
  EXPECT_EQ(fake.protectedData->watchCalls(), 1);
  EXPECT_THAT(harness.events(), IsEmpty());  // nothing on listen itself

  fake.protectedData->setAvailable(false);
  fake.protectedData->setAvailable(false);
  harness.drain();
  EXPECT_THAT(harness.events(), ElementsAre(ChannelValue(false)));
  EXPECT_EQ(harness.success("isProtectedDataAvailable"), ChannelValue(false));
  fake.protectedData->setAvailable(true);
  harness.drain();
  EXPECT_THAT(harness.events(), ElementsAre(ChannelValue(false), ChannelValue(true)));

  // Not listening: dropped. A new listener hears only later changes.
  ui.cancel(kEvents);
  fake.protectedData->setAvailable(false);
  harness.drain();
  ui.clearReceived();
  ui.listen(kEvents);
  harness.drain();
  EXPECT_THAT(harness.events(), IsEmpty());
  fake.protectedData->setAvailable(true);
  harness.drain();
  EXPECT_THAT(harness.events(), ElementsAre(ChannelValue(true)));
  EXPECT_EQ(fake.protectedData->watchCalls(), 1);
}

TEST_F(ChannelTest, WritesInFlightAreFinishedWhenThePluginGoes) {
  vellumark::testing::LogCapture log;
  StorageHarness h(platform::Lazy<platform::KeychainServices>::of(fake.services()), true);
  for (int i = 0; i < 5; ++i) h.send("write", with("k" + std::to_string(i), "v"));
  h.destroyPlugin();  // joins the queue once its calls ran
  h.mainQueue->runUntilIdle();
  // Whether a reply still got out depends on the engine's teardown; the
  // data is never lost.
  EXPECT_LE(h.answers.size(), 5u);
  EXPECT_EQ(fake.keychain->items().size(), 5u);
}

}  // namespace
}  // namespace vellumark::secure_storage::testing
