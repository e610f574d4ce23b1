// The URL launcher's codec copy against hand-made bytes, and its channels.
#include "messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "embedding/engine.h"
#include "embedding/testing.h"

namespace vellumark::url_launcher {
namespace {

using ::testing::StartsWith;

const MessagesPigeonCodec& codec() { return *MessagesPigeonCodec::sharedInstance(); }

Bytes hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

const UrlLauncherBoolResult* asResult(const ChannelValue& v) {
  const auto* custom = v.getIf<ChannelValue::Custom>();
  return custom ? dynamic_cast<const UrlLauncherBoolResult*>(custom->get()) : nullptr;
}

TEST(UrlLauncherCodec, RecordsEncodeToTheirBytes) {
  EXPECT_EQ(codec().encodeMessage(UrlLauncherBoolResult::make(true)), hex("820c020100"));
  EXPECT_EQ(codec().encodeMessage(UrlLauncherBoolResult::make(false, UrlLauncherError::invalidUrl)),
            hex("820c02028103"
                "00000000"));
  EXPECT_EQ(codec().encodeMessage(UrlLauncherErrorBox::make(UrlLauncherError::invalidUrl)),
            hex("810300000000"));
  // Inside a success reply, as the host sends it.
  EXPECT_EQ(codec().encodeMessage(ChannelList{UrlLauncherBoolResult::make(true)}),
            hex("0c01820c020100"));
  // Standard values are left to the standard codec.
  EXPECT_EQ(codec().encodeMessage(ChannelList{ChannelValue("a"), 1.0}), hex("0c02070161060000"
                                                                            "000000000000f03f"));
}

TEST(UrlLauncherCodec, RecordsDecodeAndRoundTrip) {
  for (const ChannelValue& v :
       {UrlLauncherBoolResult::make(true), UrlLauncherBoolResult::make(false),
        UrlLauncherBoolResult::make(false, UrlLauncherError::invalidUrl),
        ChannelValue(ChannelList{
            UrlLauncherBoolResult::make(true), ChannelValue(),
            ChannelMap{{"k", UrlLauncherErrorBox::make(UrlLauncherError::invalidUrl)}}})}) {
    EXPECT_EQ(codec().decodeMessage(codec().encodeMessage(v)), v);
  }
  const ChannelValue decoded =
      codec().decodeMessage(hex("820c02028103"
                                "00000000"));
  ASSERT_NE(asResult(decoded), nullptr);
  EXPECT_EQ(*asResult(decoded), UrlLauncherBoolResult(false, UrlLauncherError::invalidUrl));
  // A missing error element reads as none (the null rule), an int64 zero as invalidUrl.
  EXPECT_EQ(codec().decodeMessage(hex("820c0101")), UrlLauncherBoolResult::make(true));
  EXPECT_EQ(codec().decodeMessage(hex("81040000000000000000")),
            UrlLauncherErrorBox::make(UrlLauncherError::invalidUrl));
}

TEST(UrlLauncherCodec, UnknownErrorRawValuesReadAsNull) {
  EXPECT_EQ(codec().decodeMessage(hex("810301000000")), ChannelValue());
  EXPECT_EQ(codec().decodeMessage(hex("8103ffffffff")), ChannelValue());
  EXPECT_EQ(codec().decodeMessage(hex("8100")), ChannelValue());
  // So a result whose error is unknown has none.
  EXPECT_EQ(codec().decodeMessage(hex("820c02028103"
                                      "07000000")),
            UrlLauncherBoolResult::make(false));
}

TEST(UrlLauncherCodec, WrongShapesDecodeAsMalformedRecords) {
  for (const char* bytes : {"81070178", "8101", "82070178", "820c00", "820c0100",
                            "820c020103"
                            "00000000",
                            "820c02010701"
                            "78"}) {
    const ChannelValue v = codec().decodeMessage(hex(bytes));
    const auto* custom = v.getIf<ChannelValue::Custom>();
    ASSERT_NE(custom, nullptr) << bytes;
    EXPECT_NE(dynamic_cast<const pigeon::MalformedRecord*>(custom->get()), nullptr) << bytes;
  }
  // Truncated payloads and unknown type bytes still fail to decode.
  EXPECT_THROW(codec().decodeMessage(hex("81")), CodecError);
  EXPECT_THROW(codec().decodeMessage(hex("820c02")), CodecError);
  EXPECT_THROW(codec().decodeMessage(hex("83")), CodecError);
}

TEST(UrlLauncherCodec, RecordEqualityAndHash) {
  const UrlLauncherBoolResult a(false, UrlLauncherError::invalidUrl);
  const UrlLauncherBoolResult b(false, UrlLauncherError::invalidUrl);
  const UrlLauncherBoolResult c(false, std::nullopt);
  EXPECT_TRUE(a.equals(b));
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a.equals(c));
  EXPECT_FALSE(a.equals(UrlLauncherErrorBox(UrlLauncherError::invalidUrl)));
  EXPECT_EQ(UrlLauncherErrorBox(UrlLauncherError::invalidUrl).hash(), 0U);
}

class FakeLauncher : public UrlLauncherApi {
 public:
  UrlLauncherBoolResult canLaunchUrl(const std::string& url) override {
    calls.push_back("can " + url);
    if (url == "throw") throw std::runtime_error("lookup failed");
    if (url == "pigeon") throw pigeon::PigeonError{"code", "message", ChannelValue(int32_t{7})};
    if (url == "channel") throw ChannelError::errorWithCode("ERR", std::nullopt);
    return {true, std::nullopt};
  }
  UrlLauncherBoolResult launchUrl(const std::string& url) override {
    calls.push_back("launch " + url);
    return {false, UrlLauncherError::invalidUrl};
  }
  std::vector<std::string> calls;
};

class UrlLauncherChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { UrlLauncherApiSetup(messenger, api); }

  ChannelValue send(const std::string& operation, const ChannelValue& message) {
    auto reply = ui.send("dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi." + operation,
                         message, codec());
    EXPECT_TRUE(reply && *reply) << operation << " got no (or the empty) reply";
    return reply && *reply ? **reply : ChannelValue();
  }
  // The [code, message, details] of an error reply.
  ChannelList error(const std::string& operation, const ChannelValue& message) {
    const ChannelValue reply = send(operation, message);
    const auto* list = reply.asList();
    EXPECT_TRUE(list && list->size() == 3) << printable(reply);
    return list && list->size() == 3 ? *list : ChannelList(3);
  }
  static std::string printable(const ChannelValue& v) {
    return v.asList() ? std::to_string(v.asList()->size()) + " elements" : "not a list";
  }

  EngineMessenger messenger;
  testing::TestUi ui{messenger};
  std::shared_ptr<FakeLauncher> api = std::make_shared<FakeLauncher>();
};

TEST_F(UrlLauncherChannelTest, OperationsAnswerOneElementLists) {
  EXPECT_EQ(send("canLaunchUrl", ChannelList{"https://x"}),
            ChannelValue(ChannelList{UrlLauncherBoolResult::make(true)}));
  EXPECT_EQ(
      send("launchUrl", ChannelList{"https://x"}),
      ChannelValue(ChannelList{UrlLauncherBoolResult::make(false, UrlLauncherError::invalidUrl)}));
  EXPECT_EQ(api->calls, (std::vector<std::string>{"can https://x", "launch https://x"}));
}

TEST_F(UrlLauncherChannelTest, RaisedErrorsBecomeThreeElementReplies) {
  EXPECT_EQ(error("canLaunchUrl", ChannelList{"pigeon"}),
            (ChannelList{"code", "message", int32_t{7}}));
  EXPECT_EQ(error("canLaunchUrl", ChannelList{"channel"}), (ChannelList{"ERR", {}, {}}));
  const ChannelList other = error("canLaunchUrl", ChannelList{"throw"});
  EXPECT_EQ(other[0], ChannelValue("lookup failed"));
  EXPECT_EQ(other[1], ChannelValue("runtime_error"));
  ASSERT_NE(other[2].asString(), nullptr);
  EXPECT_THAT(*other[2].asString(), StartsWith("Stacktrace: [\""));
}

TEST_F(UrlLauncherChannelTest, MalformedRequestsGetInvalidArgsReplies) {
  const ChannelValue bad[] = {
      ChannelValue(),                             // empty message
      ChannelValue("https://x"),                  // not a list
      ChannelValue(ChannelList{}),                // too short
      ChannelValue(ChannelList{int32_t{1}}),      // wrong type
      ChannelValue(ChannelList{ChannelValue()}),  // null required argument
      ChannelValue(ChannelList{UrlLauncherBoolResult::make(true)}),
  };
  for (const ChannelValue& message : bad) {
    const ChannelList e = error("launchUrl", message);
    EXPECT_EQ(e[0], ChannelValue("invalid-args"));
    ASSERT_NE(e[1].asString(), nullptr);
    EXPECT_THAT(*e[1].asString(), StartsWith("launchUrl: "));
  }
  // A record of the wrong shape and bytes that do not decode at all.
  auto raw = ui.sendRaw("dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl",
                        hex("0c01820700"));
  ASSERT_TRUE(raw);
  EXPECT_EQ(codec().decodeMessage(*raw).asList()->at(0), ChannelValue("invalid-args"));
  raw = ui.sendRaw("dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl", hex("0c0107"));
  ASSERT_TRUE(raw);
  EXPECT_EQ(codec().decodeMessage(*raw).asList()->at(0), ChannelValue("invalid-args"));
  EXPECT_TRUE(api->calls.empty());
}

TEST_F(UrlLauncherChannelTest, SuffixAndRemoval) {
  UrlLauncherApiSetup(messenger, api, "second");
  EXPECT_TRUE(messenger.hasHandler(
      "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl.second"));
  UrlLauncherApiSetup(messenger, nullptr);
  EXPECT_FALSE(
      messenger.hasHandler("dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl"));
  EXPECT_FALSE(
      messenger.hasHandler("dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.canLaunchUrl"));
}

}  // namespace
}  // namespace vellumark::url_launcher
