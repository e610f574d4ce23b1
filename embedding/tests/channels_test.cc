// The messenger, channels, registrar and queues, driven through the real
// codecs by an in-process UI.
#include "embedding/channels.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "embedding/engine.h"
#include "embedding/registrar.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"

namespace vellumark {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TestUi;

using testing::LogCapture;

const ChannelValue* resultValue(const std::optional<MethodResponse>& r) {
  return r ? std::get_if<ChannelValue>(&*r) : nullptr;
}
const ChannelError* resultError(const std::optional<MethodResponse>& r) {
  return r ? std::get_if<ChannelError>(&*r) : nullptr;
}
bool notImplemented(const std::optional<MethodResponse>& r) {
  return r && std::holds_alternative<FlutterMethodNotImplementedT>(*r);
}

TEST(MethodChannel, AnswersExactlyOnce) {
  LogCapture log;
  EngineMessenger messenger;
  FlutterMethodChannel channel("test/methods", messenger);
  MethodResult kept;
  channel.setMethodCallHandler([&](const MethodCall& call, MethodResult result) {
    if (call.method == "twice") {
      result.success(ChannelValue("first"));
      result.success(ChannelValue("second"));
    } else if (call.method == "error") {
      result.error("CODE", std::nullopt, ChannelValue(int32_t{7}));
    } else if (call.method == "drop") {
      // Never answered: the empty reply goes out when the result is released.
    } else if (call.method == "later") {
      kept = result;
    } else if (call.method == "throw") {
      throw std::runtime_error("boom");
    } else if (call.method == "echo") {
      result.success(call.arguments);
    } else {
      result.notImplemented();
    }
  });
  TestUi ui(messenger);

  auto twice = ui.call("test/methods", "twice");
  ASSERT_TRUE(resultValue(twice));
  EXPECT_EQ(*resultValue(twice), ChannelValue("first"));
  EXPECT_THAT(log.lines, ElementsAre(HasSubstr("second reply ignored")));

  auto error = ui.call("test/methods", "error");
  ASSERT_TRUE(resultError(error));
  EXPECT_EQ(*resultError(error), ChannelError::errorWithCode("CODE", std::nullopt, int32_t{7}));

  log.lines.clear();
  EXPECT_TRUE(notImplemented(ui.call("test/methods", "drop")));
  EXPECT_THAT(log.lines, ElementsAre(HasSubstr("dropped unanswered")));

  // Answered after the handler returned.
  std::optional<MethodResponse> late;
  ui.callAsync("test/methods", "later", {}, [&](const MethodResponse& r) { late = r; });
  EXPECT_FALSE(late);
  kept.success(ChannelValue(true));
  ASSERT_TRUE(late);
  EXPECT_EQ(std::get<ChannelValue>(*late), ChannelValue(true));

  auto thrown = ui.call("test/methods", "throw");
  ASSERT_TRUE(resultError(thrown));
  EXPECT_EQ(resultError(thrown)->code, "error");

  ChannelMap args{{ChannelValue("k"), ChannelValue(int64_t{1} << 40)}};
  auto echo = ui.call("test/methods", "echo", ChannelValue(args));
  ASSERT_TRUE(resultValue(echo));
  EXPECT_EQ(*resultValue(echo), ChannelValue(args));

  EXPECT_TRUE(notImplemented(ui.call("test/methods", "other")));
}

TEST(MethodChannel, EmptyRepliesForMissingHandlersAndBadMessages) {
  LogCapture log;
  EngineMessenger messenger;
  FlutterMethodChannel channel("test/methods", messenger);
  bool called = false;
  channel.setMethodCallHandler([&](const MethodCall&, MethodResult r) {
    called = true;
    r.success();
  });
  TestUi ui(messenger);

  EXPECT_TRUE(notImplemented(ui.call("no/such/channel", "x")));
  // Not a method call: a bare int32, a truncated name, trailing bytes.
  for (const Bytes& bad : {Bytes{0x03, 1, 0, 0, 0}, Bytes{0x07, 0x05, 'a'}, Bytes{},
                           Bytes{0x07, 0x01, 'm', 0x00, 0x00}}) {
    auto reply = ui.sendRaw("test/methods", bad);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->empty());
  }
  EXPECT_FALSE(called);

  // A null handler removes the channel.
  channel.setMethodCallHandler(nullptr);
  EXPECT_TRUE(notImplemented(ui.call("test/methods", "x")));
  EXPECT_FALSE(messenger.hasHandler("test/methods"));
}

TEST(MethodChannel, InvokeMethodDecodesEveryKindOfAnswer) {
  EngineMessenger messenger;
  FlutterMethodChannel channel("host/calls", messenger);
  TestUi ui(messenger);
  std::vector<MethodResponse> answers;
  for (int i = 0; i < 3; ++i) {
    channel.invokeMethod("ask", ChannelValue(int32_t{i}),
                         [&](const MethodResponse& r) { answers.push_back(r); });
  }
  channel.invokeMethod("tell", ChannelValue());  // no answer awaited
  ASSERT_EQ(ui.received().size(), 4u);
  EXPECT_FALSE(ui.received()[3].reply);
  auto codec = StandardMethodCodec::sharedInstance();
  auto ok = codec->encodeSuccessEnvelope(ChannelValue("yes"));
  ui.received()[0].reply(ok);
  auto err = codec->encodeErrorEnvelope(ChannelError::errorWithCode("E", "m"));
  ui.received()[1].reply(err);
  ui.clearReceived();  // the third is answered empty
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(std::get<ChannelValue>(answers[0]), ChannelValue("yes"));
  EXPECT_EQ(std::get<ChannelError>(answers[1]).code, "E");
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(answers[2]));
  auto calls = ui.methodCallsOn("host/calls");
  EXPECT_TRUE(calls.empty());  // cleared
}

class RecordingStream : public FlutterStreamHandler {
 public:
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& args,
                                                    EventSink events) override {
    log.push_back("listen");
    listenArgs = args;
    sink = events;
    if (failListen) return ChannelError::errorWithCode("NOPE", "refused");
    return std::nullopt;
  }
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue&) override {
    log.push_back("cancel");
    return std::nullopt;
  }
  std::vector<std::string> log;
  ChannelValue listenArgs;
  EventSink sink;
  bool failListen = false;
};

// A token may hand back text that is not UTF-8: the caller still gets an
// answer, never an exception out of the reply.
TEST(MethodChannel, UnencodableAnswersBecomeErrors) {
  LogCapture log;
  EngineMessenger messenger;
  FlutterMethodChannel channel("test/methods", messenger);
  const std::string notUtf8 = "caf\xe9";
  channel.setMethodCallHandler([&](const MethodCall& call, MethodResult result) {
    if (call.method == "value") result.success(ChannelValue(notUtf8));
    if (call.method == "error") result.error(notUtf8, std::nullopt);
  });
  FlutterEventChannel events("test/events", messenger);
  auto stream = std::make_shared<RecordingStream>();
  events.setStreamHandler(stream);
  TestUi ui(messenger);
  for (const char* method : {"value", "error"}) {
    auto r = ui.call("test/methods", method);
    ASSERT_TRUE(resultError(r)) << method;
    EXPECT_EQ(resultError(r)->code, "error");
    EXPECT_THAT(resultError(r)->message.value_or(""), HasSubstr("could not be encoded"));
  }
  ui.listen("test/events");
  stream->sink.success(ChannelValue(notUtf8));
  auto pushed = ui.eventsOn("test/events");
  ASSERT_EQ(pushed.size(), 1u);
  EXPECT_EQ(std::get<ChannelError>(pushed[0]).code, "error");
}

TEST(EventChannel, ListenPushCancel) {
  EngineMessenger messenger;
  FlutterEventChannel channel("test/events", messenger);
  auto handler = std::make_shared<RecordingStream>();
  channel.setStreamHandler(handler);
  TestUi ui(messenger);

  // Cancel with no stream is an error, as the engine's own channels answer.
  auto early = ui.cancel("test/events");
  ASSERT_TRUE(resultError(early));
  EXPECT_EQ(resultError(early)->message, "No active stream to cancel");

  auto listened = ui.listen("test/events", ChannelValue("args"));
  ASSERT_TRUE(resultValue(listened));
  EXPECT_TRUE(resultValue(listened)->isNull());
  EXPECT_EQ(handler->listenArgs, ChannelValue("args"));
  handler->sink.success(ChannelValue(int32_t{1}));
  handler->sink.error(ChannelError::errorWithCode("BAD", std::nullopt));
  EventSink first = handler->sink;

  // A second listen cancels the first stream before starting the new one.
  ui.listen("test/events");
  EXPECT_THAT(handler->log, ElementsAre("listen", "cancel", "listen"));
  first.success(ChannelValue("stale"));  // dropped: that stream is over
  handler->sink.success(ChannelValue(int32_t{2}));

  ASSERT_TRUE(resultValue(ui.cancel("test/events")));
  handler->sink.success(ChannelValue(int32_t{3}));  // after cancel: nothing
  EXPECT_FALSE(handler->sink.active());

  auto events = ui.eventsOn("test/events");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(std::get<ChannelValue>(events[0]), ChannelValue(int32_t{1}));
  EXPECT_EQ(std::get<ChannelError>(events[1]).code, "BAD");
  EXPECT_EQ(std::get<ChannelValue>(events[2]), ChannelValue(int32_t{2}));
}

TEST(EventChannel, RefusedListenLeavesNoStream) {
  EngineMessenger messenger;
  FlutterEventChannel channel("test/events", messenger);
  auto handler = std::make_shared<RecordingStream>();
  handler->failListen = true;
  channel.setStreamHandler(handler);
  TestUi ui(messenger);
  auto r = ui.listen("test/events");
  ASSERT_TRUE(resultError(r));
  EXPECT_EQ(resultError(r)->code, "NOPE");
  handler->sink.success(ChannelValue("x"));
  EXPECT_TRUE(ui.received().empty());
  EXPECT_TRUE(notImplemented(ui.call("test/events", "unknown")));
}

TEST(BasicMessageChannel, DecodesRepliesAndRejectsBadMessages) {
  EngineMessenger messenger;
  FlutterBasicMessageChannel channel("test/basic", messenger);
  channel.setMessageHandler([](const ChannelValue& message, BasicMessageReply reply) {
    reply(ChannelValue(ChannelList{message, ChannelValue("ok")}));
  });
  TestUi ui(messenger);
  const auto& codec = *StandardMessageCodec::sharedInstance();
  auto r = ui.send("test/basic", ChannelValue(int32_t{5}), codec);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ(**r, ChannelValue(ChannelList{ChannelValue(int32_t{5}), ChannelValue("ok")}));
  // An empty message is null.
  auto empty = ui.sendRaw("test/basic", {});
  ASSERT_TRUE(empty);
  EXPECT_EQ(codec.decodeMessage(*empty),
            ChannelValue(ChannelList{ChannelValue(), ChannelValue("ok")}));
  auto bad = ui.sendRaw("test/basic", Bytes{0x0f});
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->empty());
}

TEST(EngineMessenger, HoldsLatestMessagePerChannelUntilAUiAttaches) {
  EngineMessenger messenger;
  std::vector<std::string> answers;
  auto note = [&](std::string tag) {
    return [&answers, tag](std::span<const uint8_t> r) {
      answers.push_back(tag + (r.empty() ? ":empty" : ":data"));
    };
  };
  messenger.sendOnChannel("a", Bytes{1}, note("a1"));
  messenger.sendOnChannel("b", Bytes{2});
  messenger.sendOnChannel("a", Bytes{3}, note("a3"));
  messenger.sendOnChannel("c", Bytes{4}, note("c4"));
  EXPECT_THAT(answers, ElementsAre("a1:empty"));  // replaced by a newer one
  EXPECT_EQ(messenger.heldMessageCount(), 3u);

  {
    TestUi ui(messenger);
    ASSERT_EQ(ui.received().size(), 3u);
    EXPECT_EQ(ui.received()[0].channel, "b");
    EXPECT_EQ(ui.received()[1].channel, "a");
    EXPECT_EQ(ui.received()[1].message, Bytes{3});
    EXPECT_EQ(ui.received()[2].channel, "c");
    Bytes data{9};
    ui.received()[1].reply(data);
    // Live messages go straight through.
    messenger.sendOnChannel("d", Bytes{5});
    EXPECT_EQ(ui.received().size(), 4u);
  }  // the UI leaves; c4 is answered empty
  EXPECT_THAT(answers, ElementsAre("a1:empty", "a3:data", "c4:empty"));
  messenger.sendOnChannel("e", Bytes{6});
  EXPECT_EQ(messenger.heldMessageCount(), 1u);
}

TEST(EngineMessenger, HeldRepliesAreAnsweredWhenTheEngineGoes) {
  int empties = 0;
  {
    EngineMessenger messenger;
    messenger.sendOnChannel("a", Bytes{1}, [&](std::span<const uint8_t> r) {
      if (r.empty()) ++empties;
    });
  }
  EXPECT_EQ(empties, 1);
}

class Events : public FlutterAppLifecycleDelegate {
 public:
  Events(std::vector<std::string>& log, std::string name, bool takesUrls)
      : log_(log), name_(std::move(name)), takesUrls_(takesUrls) {}
  void handleWillFinishLaunching() override { log_.push_back(name_ + ":will"); }
  void handleDidFinishLaunching() override { log_.push_back(name_ + ":did"); }
  bool handleOpenURLs(const std::vector<std::string>& urls) override {
    log_.push_back(name_ + ":" + urls.at(0));
    return takesUrls_;
  }

 private:
  std::vector<std::string>& log_;
  std::string name_;
  bool takesUrls_;
};

TEST(PluginRegistry, RegistrarsAndApplicationEventsInOrder) {
  EngineMessenger messenger;
  PluginRegistry registry(messenger, nullptr, platform::Services{});
  std::vector<std::string> log;
  auto& r1 = registry.registrarForPlugin("One");
  auto& r2 = registry.registrarForPlugin("Two");
  EXPECT_EQ(&registry.registrarForPlugin("One"), &r1);
  EXPECT_THAT(registry.pluginKeys(), ElementsAre("One", "Two"));
  EXPECT_EQ(&r1.messenger(), &messenger);
  r1.addApplicationDelegate(std::make_shared<Events>(log, "one", false));
  r2.addApplicationDelegate(std::make_shared<Events>(log, "two", true));
  r1.addApplicationDelegate(std::make_shared<Events>(log, "three", true));
  registry.publishWillFinishLaunching();
  registry.publishDidFinishLaunching();
  EXPECT_TRUE(registry.publishOpenURLs({"vellumark://x"}));
  EXPECT_THAT(log, ElementsAre("one:will", "two:will", "three:will", "one:did", "two:did",
                               "three:did", "one:vellumark://x", "two:vellumark://x"));
}

class EchoPlugin : public FlutterPlugin {
 public:
  explicit EchoPlugin(int* alive) : alive_(alive) { ++*alive_; }
  ~EchoPlugin() override { --*alive_; }
  void handleMethodCall(const MethodCall& call, MethodResult result) override {
    result.success(ChannelValue(call.method));
  }

 private:
  int* alive_;
};

TEST(PluginRegistry, MethodCallDelegateLivesAsLongAsItsChannel) {
  int alive = 0;
  {
    FlutterViewController controller(nullptr, platform::Services{});
    auto& registrar = controller.registrarForPlugin("EchoPlugin");
    FlutterMethodChannel channel("echo", registrar.messenger());
    registrar.addMethodCallDelegate(std::make_shared<EchoPlugin>(&alive), channel);
    EXPECT_EQ(alive, 1);
    TestUi ui(controller.engine().binaryMessenger());
    auto r = ui.call("echo", "hello");
    ASSERT_TRUE(resultValue(r));
    EXPECT_EQ(*resultValue(r), ChannelValue("hello"));
  }
  EXPECT_EQ(alive, 0);
}

TEST(ManualQueue, RunsTasksInOrderWithVirtualTime) {
  ManualQueue q;
  std::vector<std::string> log;
  q.postAfter(std::chrono::milliseconds(500), [&] { log.push_back("fade"); });
  q.post([&] {
    log.push_back("menu");
    q.post([&] { log.push_back("nested"); });
  });
  q.postAfter(std::chrono::milliseconds(100), [&] { log.push_back("early"); });
  EXPECT_EQ(q.runUntilIdle(), 2u);
  EXPECT_THAT(log, ElementsAre("menu", "nested"));
  q.advance(std::chrono::milliseconds(499));
  EXPECT_THAT(log, ElementsAre("menu", "nested", "early"));
  q.advance(std::chrono::milliseconds(1));
  EXPECT_THAT(log, ElementsAre("menu", "nested", "early", "fade"));
  EXPECT_EQ(q.now(), std::chrono::milliseconds(500));
  EXPECT_EQ(q.pending(), 0u);
}

TEST(SerialQueue, RunsTasksInFifoOrderOffTheCallingThread) {
  std::vector<int> order;
  std::atomic<bool> otherThread{true};
  const auto caller = std::this_thread::get_id();
  {
    SerialQueue q("test.serial");
    for (int i = 0; i < 100; ++i) {
      q.post([&, i] {
        order.push_back(i);
        if (std::this_thread::get_id() == caller) otherThread = false;
      });
    }
  }  // the destructor drains the queue
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_TRUE(otherThread);
}

}  // namespace
}  // namespace vellumark
