// hostctl against an in-test host: real channels on an EngineMessenger served
// by a UiBridge, hostctl running on its own thread as the UI.
#include "hostctl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "../../../embedding/glib/tests/bridge_fixture.h"
#include "embedding/channels.h"

namespace vellumark::hostctl {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome runHostctl(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Outcome o;
  o.status = run(args, out, err);
  o.out = out.str();
  o.err = err.str();
  return o;
}

class Streams : public FlutterStreamHandler {
 public:
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override {
    listenArgs = arguments;
    events.success(ChannelValue(int32_t{1}));
    events.error(ChannelError::errorWithCode("E", "went wrong"));
    events.success(ChannelValue("three"));
    sink = events;
    return std::nullopt;
  }
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue&) override {
    ++cancels;
    return std::nullopt;
  }
  ChannelValue listenArgs;
  EventSink sink;
  int cancels = 0;
};

class HostctlTest : public testing::BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    method_ = std::make_unique<FlutterMethodChannel>("test/method", *messenger_);
    method_->setMethodCallHandler([this](const MethodCall& call, MethodResult result) {
      if (call.method == "hang") {
        kept_ = result;  // never answered while hostctl waits
      } else if (call.method == "echo") {
        result.success(call.arguments);
      } else if (call.method == "fail") {
        result.error("BAD", "bad thing", ChannelValue(int32_t{5}));
      } else {
        result.notImplemented();
      }
    });
    events_ = std::make_unique<FlutterEventChannel>("test/events", *messenger_);
    streams_ = std::make_shared<Streams>();
    events_->setStreamHandler(streams_);
    basic_ = std::make_unique<FlutterBasicMessageChannel>("test/basic", *messenger_);
    basic_->setMessageHandler([](const ChannelValue& message, BasicMessageReply reply) {
      reply(ChannelValue(ChannelList{message, ChannelValue("ok")}));
    });
    startBridge();
  }
  void TearDown() override {
    kept_ = MethodResult();
    method_.reset();
    events_.reset();
    basic_.reset();
    BridgeFixture::TearDown();
  }

  Outcome hostctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--socket", path_, "--timeout", "5"});
    Outcome o;
    withUi([&] { o = runHostctl(args); });
    return o;
  }

  MethodResult kept_;
  std::unique_ptr<FlutterMethodChannel> method_;
  std::unique_ptr<FlutterEventChannel> events_;
  std::shared_ptr<Streams> streams_;
  std::unique_ptr<FlutterBasicMessageChannel> basic_;
};

TEST_F(HostctlTest, CallPrintsTheAnswerAndExitsByItsKind) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"call", "test/method", "echo",
        R"({"a": [1, {"$int64": "5000000000"}, 2.0, {"$bytes": "00ff"}]})"},
       kExitResult,
       "{\"a\": [1, {\"$int64\": \"5000000000\"}, 2.0, {\"$bytes\": \"00ff\"}]}\n"},
      {{"call", "test/method", "echo"}, kExitResult, "null\n"},
      {{"call", "test/method", "fail"},
       kExitErrorEnvelope,
       "{\"code\": \"BAD\", \"message\": \"bad thing\", \"details\": 5}\n"},
      {{"call", "test/method", "nope"}, kExitUsage, "not implemented\n"},
      {{"call", "no/such/channel", "echo"}, kExitUsage, "not implemented\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const Outcome o = hostctl(c.args);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.out, c.out);
  }
}

TEST_F(HostctlTest, SendUsesTheNamedMessageCodec) {
  Outcome o = hostctl({"send", "test/basic", R"({"$int32list": [1, 2]})"});
  EXPECT_EQ(o.status, kExitResult) << o.err;
  EXPECT_EQ(o.out, "[{\"$int32list\": [1, 2]}, \"ok\"]\n");
  o = hostctl({"send", "test/basic", "1", "--codec", "nosuch"});
  EXPECT_EQ(o.status, kExitUsage);
  EXPECT_THAT(o.err,
              HasSubstr("unknown codec nosuch (known: preferences, standard, url_launcher)"));
}

TEST_F(HostctlTest, ListenPrintsEventsThenCancels) {
  const Outcome o = hostctl({"listen", "test/events", R"({"k": true})", "--count", "3"});
  EXPECT_EQ(o.status, kExitResult) << o.err;
  EXPECT_EQ(o.out,
            "1\n{\"code\": \"E\", \"message\": \"went wrong\", \"details\": null}\n\"three\"\n");
  EXPECT_EQ(streams_->listenArgs,
            ChannelValue(ChannelMap{{ChannelValue("k"), ChannelValue(true)}}));
  EXPECT_EQ(streams_->cancels, 1);
  EXPECT_FALSE(streams_->sink.active());
}

TEST_F(HostctlTest, ListenThatRunsOutOfTimeStillCancelsAndFails) {
  const Outcome o = hostctl({"listen", "test/events", "--count", "5", "--timeout", "0.3"});
  EXPECT_EQ(o.status, kExitTimeout);
  EXPECT_EQ(o.err, "hostctl: test/events: 3 of 5 events within 0.3 s\n");
  EXPECT_EQ(streams_->cancels, 1);
}

TEST_F(HostctlTest, CallWithoutAnAnswerInTimeSaysWhichAndExitsFour) {
  const Outcome o = hostctl({"call", "test/method", "hang", "--timeout", "0.2"});
  EXPECT_EQ(o.status, kExitTimeout);
  EXPECT_EQ(o.err, "hostctl: test/method hang: no answer within 0.2 s\n");
  EXPECT_EQ(o.out, "");
  // The host still has the call and may answer it late: it goes nowhere.
  ASSERT_FALSE(kept_.answered());
  kept_.success(ChannelValue(true));
  drain();
  const Outcome next = hostctl({"call", "test/method", "echo", "7"});
  EXPECT_EQ(next.status, kExitResult) << next.err;
  EXPECT_EQ(next.out, "7\n");
}

TEST_F(HostctlTest, WatchPrintsHostCallsAndAnswersNull) {
  std::vector<MethodResponse> responses;
  FlutterMethodChannel host("test/host", *messenger_);
  // Held until hostctl connects. A call on another channel is answered empty.
  host.invokeMethod("onEvent",
                    ChannelValue(ChannelMap{{ChannelValue("eventName"), ChannelValue("focus")}}),
                    [&](const MethodResponse& r) { responses.push_back(r); });
  std::vector<MethodResponse> other;
  FlutterMethodChannel elsewhere("test/elsewhere", *messenger_);
  elsewhere.invokeMethod("x", {}, [&](const MethodResponse& r) { other.push_back(r); });

  const Outcome o = hostctl({"watch", "test/host", "--count", "1"});
  EXPECT_EQ(o.status, kExitResult) << o.err;
  EXPECT_EQ(o.out, "{\"method\": \"onEvent\", \"args\": {\"eventName\": \"focus\"}}\n");
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0], MethodResponse(ChannelValue()));
  ASSERT_EQ(other.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(other[0]));
}

TEST(Hostctl, NoHostExitsThree) {
  Outcome o = runHostctl({"--socket", "/nonexistent-vellumark/ui.sock", "call", "c", "m"});
  EXPECT_EQ(o.status, kExitNoHost);
  EXPECT_THAT(o.err, HasSubstr("/nonexistent-vellumark/ui.sock"));
  // Without --socket, the environment's path is the one tried.
  ::setenv("VELLUMARK_UI_SOCKET", "/nonexistent-vellumark/env.sock", 1);
  o = runHostctl({"call", "c", "m"});
  ::unsetenv("VELLUMARK_UI_SOCKET");
  EXPECT_EQ(o.status, kExitNoHost);
  EXPECT_THAT(o.err, HasSubstr("/nonexistent-vellumark/env.sock"));
}

TEST(Hostctl, PluginCodecsWriteAndReadExtensionRecords) {
  // The preferences options record, alone and inside a request.
  const std::string options = R"({"$map": [["$ext", [129, ["s"]]]]})";
  Outcome o = runHostctl({"encode", "[null, " + options + "]", "--codec", "preferences"});
  EXPECT_EQ(o.out, "0c0200810c01070173\n") << o.err;
  o = runHostctl({"decode", "0c0200810c01070173", "--codec", "preferences"});
  EXPECT_EQ(o.out, "[null, " + options + "]\n") << o.err;
  // The launcher's result nests its error record.
  o = runHostctl({"decode", "820c0202810300000000", "--codec", "url_launcher"});
  EXPECT_EQ(o.out, R"({"$map": [["$ext", [130, [false, {"$map": [["$ext", [129, 0]]]}]]]]})"
                   "\n")
      << o.err;
  o = runHostctl({"encode", R"({"$map": [["$ext", [12, []]]]})", "--codec", "url_launcher"});
  EXPECT_EQ(o.status, kExitUsage);
}

TEST(Hostctl, EncodeAndDecodeAllForms) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"encode", "\"hi\""}, "07026869\n"},
      {{"decode", "07026869"}, "\"hi\"\n"},
      {{"decode", "0D 01 07 01 61 03 05000000"}, "{\"a\": 5}\n"},
      {{"encode", "--method-call", R"({"method": "listen", "args": null})"},
       "07066c697374656e00\n"},
      {{"decode", "--method-call", "07066c697374656e00"},
       "{\"method\": \"listen\", \"args\": null}\n"},
      {{"encode", "--envelope", R"({"result": 1})"}, "000301000000\n"},
      {{"decode", "--envelope", "0000"}, "{\"result\": null}\n"},
      {{"decode", "--envelope", ""}, "not implemented\n"},
      {{"decode", "--envelope", "01070142000000"},
       "{\"code\": \"B\", \"message\": null, \"details\": null}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Outcome o = runHostctl(c.args);
    EXPECT_EQ(o.status, kExitResult) << o.err;
    EXPECT_EQ(o.out, c.out);
  }
}

TEST(Hostctl, BadInputIsAUsageErrorWithAReason) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, "no command"},
      {{"call", "c"}, "wrong number of arguments"},
      {{"call", "c", "m", "{bad"},
       "hostctl: bad typed JSON in ARGS: not valid JSON at line 1, column 2: unexpected 'b'\n"},
      {{"send", "c", "[1,\n 2"},
       "in MESSAGE: not valid JSON at line 2, column 3: the text ends before the value does"},
      {{"call", "c", "m", "--timeout", "-1"}, "--timeout wants seconds (0: no bound)"},
      {{"encode", R"({"$int64": "x"})"}, "cannot encode"},
      {{"decode", "0g"}, "not a hex digit"},
      {{"decode", "0702"}, "cannot decode"},
      {{"decode", "--envelope", "--method-call", "00"}, "exclude each other"},
      {{"listen", "c", "--count", "0"}, "--count wants a positive number"},
      {{"call", "c", "m", "--bogus"}, "unknown option --bogus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome o = runHostctl(c.args);
    EXPECT_EQ(o.status, kExitUsage);
    EXPECT_THAT(o.err, HasSubstr(c.err));
    EXPECT_THAT(o.err, Not(HasSubstr("json.exception")));
    EXPECT_EQ(o.out, "");
  }
}

TEST(Hostctl, UsageNamesTheTimeoutDefaultsAndExitStatuses) {
  const Outcome o = runHostctl({"--help"});
  EXPECT_EQ(o.status, kExitResult);
  EXPECT_THAT(o.out, HasSubstr("none on tessel_macos"));
  EXPECT_THAT(o.out, HasSubstr("3 no host,\n4 timed out."));
}

}  // namespace
}  // namespace vellumark::hostctl
