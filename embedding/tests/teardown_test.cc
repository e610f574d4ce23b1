// Lifetimes the plugins lean on: sinks, replies and channels kept past the
// engine, teardown order, replies released on worker threads, and a UI that
// hangs up while its call is worked on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "embedding/channels.h"
#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"

namespace vellumark {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::TestUi;

using testing::LogCapture;

// A plugin that keeps what its calls hand it, as one with a worker queue does.
struct KeepingPlugin {
  MethodResult kept;
  EventSink sink;
};

class KeepingStream : public FlutterStreamHandler {
 public:
  explicit KeepingStream(KeepingPlugin& plugin) : plugin_(plugin) {}
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override {
    plugin_.sink = events;
    if (arguments == ChannelValue("throw")) throw std::runtime_error("listen broke");
    return std::nullopt;
  }
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue&) override {
    return std::nullopt;
  }

 private:
  KeepingPlugin& plugin_;
};

struct Engine {
  explicit Engine(std::shared_ptr<platform::TaskQueue> queue = nullptr)
      : messenger(std::make_unique<EngineMessenger>(std::move(queue))) {
    methods = std::make_shared<FlutterMethodChannel>("test/methods", *messenger);
    methods->setMethodCallHandler(
        [this](const MethodCall&, MethodResult result) { plugin.kept = std::move(result); });
    events = std::make_shared<FlutterEventChannel>("test/events", *messenger);
    events->setStreamHandler(std::make_shared<KeepingStream>(plugin));
  }
  KeepingPlugin plugin;
  std::unique_ptr<EngineMessenger> messenger;
  std::shared_ptr<FlutterMethodChannel> methods;
  std::shared_ptr<FlutterEventChannel> events;
};

TEST(Teardown, SinksRepliesAndChannelsKeptPastTheEngineDoNothing) {
  LogCapture log;
  Engine engine;
  std::vector<MethodResponse> answers;
  {
    TestUi ui(*engine.messenger);
    ui.listen("test/events");
    ui.callAsync("test/methods", "work", {},
                 [&](const MethodResponse& r) { answers.push_back(r); });
    ASSERT_TRUE(engine.plugin.sink.active());
    EXPECT_FALSE(engine.plugin.kept.abandoned());
  }
  engine.messenger.reset();
  log.lines.clear();

  // As a task posted before the teardown would, after it.
  EXPECT_FALSE(engine.plugin.sink.active());
  engine.plugin.sink.success(ChannelValue(int32_t{1}));
  engine.plugin.sink.error(ChannelError::errorWithCode("E", std::nullopt));
  EXPECT_TRUE(engine.plugin.kept.abandoned());
  engine.plugin.kept.success(ChannelValue("late"));
  std::optional<MethodResponse> invoked;
  engine.methods->invokeMethod("tell", {}, [&](const MethodResponse& r) { invoked = r; });
  engine.methods->setMethodCallHandler(nullptr);
  engine.events->setStreamHandler(nullptr);

  EXPECT_THAT(answers, IsEmpty());
  ASSERT_TRUE(invoked);
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(*invoked));
  // The sink says so once, however often it is used.
  EXPECT_THAT(log.lines,
              ElementsAre(HasSubstr("test/events: event sent after the engine went away"),
                          HasSubstr("test/methods: reply after the engine went away"),
                          HasSubstr("test/methods: call \"tell\" after the engine went away")));
}

TEST(Teardown, ReplyDroppedUnansweredAfterTheEngineSendsNothing) {
  LogCapture log;
  Engine engine;
  std::vector<MethodResponse> answers;
  TestUi ui(*engine.messenger);
  ui.callAsync("test/methods", "work", {}, [&](const MethodResponse& r) { answers.push_back(r); });
  ui.hangUp();
  engine.messenger.reset();
  log.lines.clear();
  engine.plugin.kept = MethodResult();  // the last copy goes
  EXPECT_THAT(answers, IsEmpty());
  EXPECT_THAT(log.lines, ElementsAre(HasSubstr("dropped unanswered after the engine went away")));
}

// A plugin whose reply callbacks and destructor use the plugin itself.
class CallingPlugin {
 public:
  CallingPlugin(EngineMessenger& messenger, std::vector<std::string>& log)
      : channel_("test/host", messenger), log_(log) {}
  ~CallingPlugin() {
    alive_ = false;
    log_.push_back("plugin destroyed");
  }
  void ask(const std::string& what) {
    channel_.invokeMethod(what, {}, [this, what](const MethodResponse& r) {
      const bool empty = std::holds_alternative<FlutterMethodNotImplementedT>(r);
      log_.push_back(what + (alive_ ? " answered" : " answered on a dead plugin") +
                     (empty ? " empty" : ""));
      // Asking again while the engine goes is answered at once.
      if (what == "held") ask("again");
    });
  }

 private:
  FlutterMethodChannel channel_;
  std::vector<std::string>& log_;
  bool alive_ = true;
};

TEST(Teardown, ReplyCallbacksRunBeforeThePluginsGo) {
  LogCapture engineLog;
  std::vector<std::string> log;
  auto messenger = std::make_unique<EngineMessenger>();
  auto plugin = std::make_shared<CallingPlugin>(*messenger, log);
  // The handler owns the plugin, as a registrar's method-call delegate does.
  messenger->setMessageHandler("test/host",
                               [plugin](std::span<const uint8_t>, BinaryReply) { (void)plugin; });
  plugin->ask("held");  // no UI yet: held
  {
    auto ui = std::make_unique<TestUi>(*messenger);
    ASSERT_EQ(ui->received().size(), 1u);  // "held", now owed by the UI
    plugin->ask("owed");
    plugin.reset();
    // The UI outlives the engine: what it owes is answered as the engine goes.
    messenger.reset();
    EXPECT_FALSE(ui->connected());
  }
  EXPECT_THAT(log, ElementsAre("held answered empty", "again answered empty", "owed answered empty",
                               "plugin destroyed"));
}

TEST(Teardown, HeldCallbacksRunBeforeThePluginsGo) {
  std::vector<std::string> log;
  {
    EngineMessenger messenger;
    auto plugin = std::make_shared<CallingPlugin>(messenger, log);
    messenger.setMessageHandler("test/host",
                                [plugin](std::span<const uint8_t>, BinaryReply) { (void)plugin; });
    plugin->ask("held");
  }
  EXPECT_THAT(log, ElementsAre("held answered empty", "again answered empty", "plugin destroyed"));
}

TEST(Teardown, ThrowingListenLeavesNoStream) {
  LogCapture log;
  Engine engine;
  TestUi ui(*engine.messenger);
  auto failed = ui.listen("test/events", ChannelValue("throw"));
  ASSERT_TRUE(failed && std::holds_alternative<ChannelError>(*failed));
  EXPECT_EQ(std::get<ChannelError>(*failed).message, "listen broke");
  EXPECT_FALSE(engine.plugin.sink.active());
  engine.plugin.sink.success(ChannelValue("stray"));

  auto cancel = ui.cancel("test/events");
  ASSERT_TRUE(cancel && std::holds_alternative<ChannelError>(*cancel));
  EXPECT_EQ(std::get<ChannelError>(*cancel).message, "No active stream to cancel");

  auto listened = ui.listen("test/events");
  ASSERT_TRUE(listened && std::holds_alternative<ChannelValue>(*listened));
  engine.plugin.sink.success(ChannelValue(int32_t{2}));
  auto events = ui.eventsOn("test/events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<ChannelValue>(events[0]), ChannelValue(int32_t{2}));
}

// A job on a worker may hold the last copy of a reply: its empty reply must
// still leave from the main thread.
TEST(Teardown, ReplyReleasedOnAWorkerAnswersFromTheMainQueue) {
  LogCapture log;
  auto mainQueue = std::make_shared<ManualQueue>();
  Engine engine(mainQueue);
  TestUi ui(*engine.messenger);
  std::vector<std::thread::id> answeredOn;
  std::vector<MethodResponse> answers;
  ui.callAsync("test/methods", "work", {}, [&](const MethodResponse& r) {
    answers.push_back(r);
    answeredOn.push_back(std::this_thread::get_id());
  });
  {
    SerialQueue worker("test.worker");
    worker.post([job = std::move(engine.plugin.kept)] { EXPECT_FALSE(job.answered()); });
  }  // joined: the job, and the reply's last copy, went on the worker
  EXPECT_THAT(answers, IsEmpty());
  EXPECT_EQ(mainQueue->runUntilIdle(), 1u);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(answers[0]));
  EXPECT_THAT(answeredOn, ElementsAre(std::this_thread::get_id()));
  EXPECT_THAT(log.lines, ElementsAre(HasSubstr("dropped unanswered; sent the empty reply")));
}

TEST(TestUiHangUp, PendingRepliesAreAbandonedAndGoNowhere) {
  Engine engine;
  TestUi ui(*engine.messenger);
  std::vector<MethodResponse> answers;
  ui.callAsync("test/methods", "work", {}, [&](const MethodResponse& r) { answers.push_back(r); });
  MethodResult first = engine.plugin.kept;
  EXPECT_FALSE(first.abandoned());

  // A host message the UI owed an answer to is answered empty on hang-up.
  std::vector<MethodResponse> hostAnswers;
  FlutterMethodChannel host("test/host", *engine.messenger);
  host.invokeMethod("ask", {}, [&](const MethodResponse& r) { hostAnswers.push_back(r); });
  ui.hangUp();
  ASSERT_EQ(hostAnswers.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(hostAnswers[0]));
  EXPECT_TRUE(first.abandoned());
  // Probed from a worker, as a job deciding whether to start does.
  bool abandonedThere = false;
  std::thread([&] { abandonedThere = first.abandoned(); }).join();
  EXPECT_TRUE(abandonedThere);
  first.success(ChannelValue("late"));
  EXPECT_THAT(answers, IsEmpty());
  EXPECT_THROW(ui.call("test/methods", "x"), std::logic_error);

  // Held while away, delivered on reconnect; a new call is not abandoned.
  host.invokeMethod("while away", {});
  ui.reconnect();
  EXPECT_EQ(ui.methodCallsOn("test/host").back().method, "while away");
  ui.callAsync("test/methods", "again", {}, [&](const MethodResponse& r) { answers.push_back(r); });
  EXPECT_FALSE(engine.plugin.kept.abandoned());
  engine.plugin.kept.success(ChannelValue(true));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(std::get<ChannelValue>(answers[0]), ChannelValue(true));
}

}  // namespace
}  // namespace vellumark
