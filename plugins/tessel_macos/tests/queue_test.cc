// The main loop never waits for the token: calls are answered in their
// order, each sees the state at its turn, token work runs one job at a time
// off the main thread, and nothing is left open when the UI, the host or the
// plugin goes away.
#include <filesystem>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Bytes kDigest(32, 0xD1);
const Bytes kKeyId{0x11, 0x22};
const MethodResponse kUserCancelled =
    ChannelError::errorWithCode("USER_CANCELLED", "User cancelled PIN entry");
const MethodResponse kListingCancelled =
    ChannelError::errorWithCode("CERTIFICATES_ERROR", "Certificate listing cancelled");
const MethodResponse kSignature = ChannelValue::bytes(fakes::FakeKey::signatureOf(kDigest));

ChannelValue signArgs() {
  return args({{"keyId", ChannelValue::bytes(kKeyId)}, {"hash", ChannelValue::bytes(kDigest)}});
}

std::vector<MethodResponse> only(const MethodResponse& response) { return {response}; }

bool isNull(const std::shared_ptr<Replies>& replies) {
  return replies->answers.size() == 1 && replies->answers[0] == MethodResponse(ChannelValue{});
}

class QueueTest : public TesselPluginTest {
 protected:
  QueueTest() {
    success("initialize");
    identity = addIdentity("T1", certificateDer(1, kNonRepudiation), kKeyId);
    log->order.clear();
  }
  std::shared_ptr<FakeIdentity> identity;
};

TEST_F(QueueTest, NothingOvertakesACallWaitingForTheToken) {
  auto sign = send("signBytes", signArgs());
  auto dispose = send("dispose");
  auto unknown = send("signHash");
  auto listing = send("getCertificates");
  auto init = send("initialize");
  // The signature waits for the token queue, and the rest waits behind it.
  EXPECT_THAT(log->order, IsEmpty());
  EXPECT_THAT(store->queries(), IsEmpty());
  EXPECT_EQ(tokenQueue->pending(), 1u);

  tokenQueue->runUntilIdle();
  EXPECT_THAT(log->order, IsEmpty());  // the answer comes through the main queue
  mainQueue->runUntilIdle();
  EXPECT_THAT(log->order,
              ElementsAre("signBytes", "dispose", "signHash", "getCertificates", "initialize"));
  EXPECT_EQ(sign->answers, only(kSignature));
  EXPECT_TRUE(isNull(dispose));
  EXPECT_EQ(unknown->answers, only(FlutterMethodNotImplemented));
  // Its turn came after "dispose".
  EXPECT_EQ(errorOf(listing->answers.at(0)).code, "NOT_INITIALIZED");
  EXPECT_TRUE(isNull(init));
  EXPECT_EQ(tokenQueue->pending(), 0u);
}

TEST_F(QueueTest, EachCallSeesTheStateAtItsTurn) {
  success("dispose");
  auto init = send("initialize");
  auto first = send("getCertificates");
  auto dispose = send("dispose");
  auto second = send("getCertificates");
  drain();
  EXPECT_THAT(log->order, ElementsAre("dispose", "initialize", "getCertificates", "dispose",
                                      "getCertificates"));
  ASSERT_EQ(first->answers.size(), 1u);
  ASSERT_NE(std::get_if<ChannelValue>(&first->answers[0]), nullptr);
  EXPECT_EQ(std::get<ChannelValue>(first->answers[0]).asList()->size(), 1u);
  EXPECT_EQ(errorOf(second->answers.at(0)).code, "NOT_INITIALIZED");
  EXPECT_EQ(store->tokenIDsCalls(), 1);
}

TEST_F(QueueTest, TokenWorkRunsOneJobAtATime) {
  auto available = send("isTokenAvailable");
  auto listing = send("getCertificates");
  auto sign =
      send("signData",
           args({{"data", ChannelValue::bytes(kDigest)}, {"keyId", ChannelValue::bytes(kKeyId)}}));
  for (const char* method : {"isTokenAvailable", "getCertificates", "signData"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(tokenQueue->pending(), 1u);
    tokenQueue->runUntilIdle();
    mainQueue->runUntilIdle();
    EXPECT_EQ(log->order.back(), method);
  }
  EXPECT_EQ(available->answers, only(ChannelValue(true)));
  EXPECT_EQ(sign->answers, only(kSignature));
}

TEST_F(QueueTest, CallsWhoseUiHungUpAreNotStarted) {
  auto gone = std::make_shared<bool>(false);
  auto first = send("signBytes", signArgs());  // keeps the others waiting
  auto sign = send("signBytes", signArgs(), gone);
  auto listing = send("getCertificates", {}, gone);
  auto available = send("isTokenAvailable", {}, gone);
  *gone = true;
  drain();
  EXPECT_EQ(first->answers, only(kSignature));
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(listing->answers, only(kListingCancelled));
  EXPECT_EQ(available->answers, only(ChannelValue(false)));
  // Only the first call reached the token.
  EXPECT_EQ(identity->privateKey->signedDigests.size(), 1u);
  EXPECT_EQ(store->queries().size(), 1u);
  EXPECT_EQ(store->tokenIDsCalls(), 0);
}

TEST_F(QueueTest, ACancelledPinDialogDoesNotHoldUpTheNextCall) {
  identity->pinDialog = store->pinDialog;
  store->pinDialog->answerNext(fakes::FakePinDialog::Answer::Cancelled);
  auto cancelled = send("signBytes", signArgs());
  auto next = send("signBytes", signArgs());
  tokenQueue->runUntilIdle();
  mainQueue->runUntilIdle();
  EXPECT_EQ(cancelled->answers, only(kUserCancelled));
  EXPECT_THAT(next->answers, IsEmpty());
  store->pinDialog->answerNext(fakes::FakePinDialog::Answer::Pin);
  drain();
  EXPECT_EQ(next->answers, only(kSignature));
}

TEST_F(QueueTest, WillTerminateAnswersWhatIsPendingWithoutTheToken) {
  auto sign = send("signBytes", signArgs());
  auto dispose = send("dispose");
  auto listing = send("getCertificates");
  auto init = send("initialize");
  auto again = send("signBytes", signArgs());
  registry->publishWillTerminate();
  EXPECT_EQ(store->cancelInteractionCalls(), 1);
  EXPECT_THAT(log->order,
              ElementsAre("signBytes", "dispose", "getCertificates", "initialize", "signBytes"));
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(errorOf(listing->answers.at(0)).code, "NOT_INITIALIZED");
  EXPECT_EQ(again->answers, only(kUserCancelled));
  // While the host quits, no token work starts.
  auto late = send("getCertificates");
  EXPECT_EQ(late->answers, only(kListingCancelled));
  drain();  // the queued job finds the plugin shut
  EXPECT_THAT(store->queries(), IsEmpty());
  EXPECT_EQ(identity->privateKeyRequests, 0);
  for (const auto& replies : {sign, dispose, listing, init, again, late}) {
    EXPECT_EQ(replies->answers.size(), 1u);
  }
}

TEST_F(QueueTest, DestroyedBeforeTheJobStarts) {
  auto sign = send("signBytes", signArgs());
  auto waiting = send("getCertificates");
  destroyPlugin();
  EXPECT_TRUE(plugin.expired());
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(waiting->answers, only(kListingCancelled));
  EXPECT_EQ(store->cancelInteractionCalls(), 1);
  drain();
  EXPECT_THAT(store->queries(), IsEmpty());
  EXPECT_EQ(sign->answers.size(), 1u);
}

TEST_F(QueueTest, DestroyedWhileTheAnswerIsOnItsWay) {
  auto sign = send("signBytes", signArgs());
  tokenQueue->runUntilIdle();  // signed; the answer waits on the main queue
  EXPECT_EQ(mainQueue->pending(), 1u);
  destroyPlugin();
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(mainQueue->runUntilIdle(), 1u);  // finds no plugin
  EXPECT_EQ(sign->answers.size(), 1u);
}

TEST_F(QueueTest, DestroyedAfterWillTerminate) {
  auto sign = send("signBytes", signArgs());
  registry->publishWillTerminate();
  tokenQueue->runUntilIdle();
  destroyPlugin();
  drain();
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(store->cancelInteractionCalls(), 2);
}

// --- A real token thread -------------------------------------------------------

// Records which threads call the token service.
class ThreadRecordingStore : public FakeTokenStore {
 public:
  std::vector<std::string> tokenIDs() override {
    note();
    return FakeTokenStore::tokenIDs();
  }
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    note();
    return FakeTokenStore::copyMatching(query);
  }
  std::set<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  void note() {
    std::lock_guard lock(mutex_);
    threads_.insert(std::this_thread::get_id());
  }
  std::mutex mutex_;
  std::set<std::thread::id> threads_;
};

class ThreadedTest : public ::testing::Test, public PluginHarness {
 protected:
  explicit ThreadedTest(std::shared_ptr<FakeTokenStore> tokens = std::make_shared<FakeTokenStore>())
      : PluginHarness(std::move(tokens), true) {
    identity = addIdentity("T1", certificateDer(1, kNonRepudiation), kKeyId);
  }
  void waitFor(const std::shared_ptr<Replies>& replies) {
    mainQueue->runUntil([&] { return !replies->answers.empty(); });
  }
  std::shared_ptr<FakeIdentity> identity;
};

class RecordingThreadedTest : public ThreadedTest {
 protected:
  RecordingThreadedTest() : ThreadedTest(std::make_shared<ThreadRecordingStore>()) {}
};

TEST_F(RecordingThreadedTest, TokenCallsLeaveTheMainThreadAndAnswersComeBack) {
  const auto mainThread = std::this_thread::get_id();
  const std::vector<std::shared_ptr<Replies>> calls = {
      send("isTokenAvailable"),      send("initialize"), send("getCertificates"),
      send("signBytes", signArgs()), send("dispose"),    send("nope"),
      send("getCertificates"),
  };
  waitFor(calls.back());
  EXPECT_THAT(log->order, ElementsAre("isTokenAvailable", "initialize", "getCertificates",
                                      "signBytes", "dispose", "nope", "getCertificates"));
  for (const auto& replies : calls) {
    ASSERT_EQ(replies->answers.size(), 1u);
    EXPECT_EQ(replies->threads[0], mainThread);
  }
  EXPECT_EQ(calls[0]->answers, only(ChannelValue(true)));
  EXPECT_EQ(calls[3]->answers, only(kSignature));
  EXPECT_EQ(errorOf(calls[6]->answers[0]).code, "NOT_INITIALIZED");

  const auto threads = static_cast<ThreadRecordingStore&>(*store).threads();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), mainThread);
}

size_t threadCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// Start-up pays no thread for the plugin: its token thread starts with the
// first token call, and one without any call is torn down cleanly.
TEST(TokenThread, StartsWithTheFirstTokenCallNotAtRegistration) {
  const size_t before = threadCount();
  {
    PluginHarness idle(std::make_shared<FakeTokenStore>(), true);
    EXPECT_EQ(threadCount(), before);
    EXPECT_EQ(idle.send("dispose")->answers.size(), 1u);  // answered on the main thread
    EXPECT_EQ(threadCount(), before);
  }
  PluginHarness used(std::make_shared<FakeTokenStore>(), true);
  auto available = used.send("isTokenAvailable");
  used.mainQueue->runUntil([&] { return !available->answers.empty(); });
  EXPECT_EQ(available->answers, only(ChannelValue(false)));  // the store has no token
  EXPECT_EQ(threadCount(), before + 1);
}

TEST_F(ThreadedTest, ThePinDialogWaitsOffTheMainThread) {
  identity->pinDialog = store->pinDialog;
  success("initialize");
  auto sign = send("signBytes", signArgs());
  store->pinDialog->waitUntilOpen();  // on the main thread, which stays free
  EXPECT_THAT(sign->answers, IsEmpty());
  EXPECT_TRUE(store->pinDialog->enterPin());
  waitFor(sign);
  EXPECT_EQ(sign->answers, only(kSignature));
}

TEST_F(ThreadedTest, WillTerminateDismissesAnOpenPinDialog) {
  identity->pinDialog = store->pinDialog;
  success("initialize");
  auto sign = send("signBytes", signArgs());
  auto behind = send("signBytes", signArgs());
  store->pinDialog->waitUntilOpen();
  EXPECT_THAT(sign->answers, IsEmpty());

  registry->publishWillTerminate();
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(behind->answers, only(kUserCancelled));
  EXPECT_FALSE(store->pinDialog->isOpen());
  // The job's own answer (the dialog was cancelled) comes back and is dropped.
  mainQueue->waitAndRun();
  EXPECT_EQ(sign->answers.size(), 1u);
  EXPECT_EQ(store->pinDialog->timesAsked(), 1);
}

TEST_F(ThreadedTest, DestroyedWithAPinDialogOpen) {
  identity->pinDialog = store->pinDialog;
  success("initialize");
  auto sign = send("signBytes", signArgs());
  store->pinDialog->waitUntilOpen();
  destroyPlugin();  // dismisses the dialog, then joins the token thread
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_FALSE(store->pinDialog->isOpen());
  EXPECT_EQ(mainQueue->runUntilIdle(), 1u);  // the late answer finds no plugin
  EXPECT_EQ(sign->answers.size(), 1u);
}

// Lets its first query through only once teardown has asked to cancel: the
// PIN dialog then opens after that request, as it may on a busy machine.
class LateDialogStore : public FakeTokenStore {
 public:
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    std::call_once(started_, [this] { startedPromise.set_value(); });
    released_.wait();
    return FakeTokenStore::copyMatching(query);
  }
  void cancelInteraction() override {
    FakeTokenStore::cancelInteraction();
    std::call_once(release_, [this] { releasePromise.set_value(); });
  }
  std::promise<void> startedPromise;
  std::promise<void> releasePromise;

 private:
  std::once_flag started_;
  std::once_flag release_;
  std::shared_future<void> released_ = releasePromise.get_future().share();
};

class LateDialogTest : public ThreadedTest {
 protected:
  LateDialogTest() : ThreadedTest(std::make_shared<LateDialogStore>()) {}
};

TEST_F(LateDialogTest, TeardownAlsoDismissesADialogThatOpensLate) {
  auto& late = static_cast<LateDialogStore&>(*store);
  auto started = late.startedPromise.get_future();
  identity->pinDialog = store->pinDialog;
  success("initialize");
  auto sign = send("signBytes", signArgs());
  started.wait();
  destroyPlugin();
  EXPECT_EQ(sign->answers, only(kUserCancelled));
  EXPECT_EQ(store->pinDialog->timesAsked(), 1);
  EXPECT_FALSE(store->pinDialog->isOpen());
  EXPECT_GE(store->cancelInteractionCalls(), 2);
}

}  // namespace
}  // namespace vellumark::tessel
