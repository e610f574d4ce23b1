// The preferences codec copy against hand-made bytes, and the channel wiring
// of both interfaces (arguments in, one- or three-element replies out).
#include "shared_preferences_foundation/messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_bundle.h"
#include "shared_preferences_foundation/shared_preferences_plugin.h"

namespace vellumark::shared_preferences {
namespace {

using ::testing::HasSubstr;

const MessagesPigeonCodec& codec() { return *MessagesPigeonCodec::sharedInstance(); }

Bytes hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST(PreferencesCodec, OptionsEncodeToTheirBytes) {
  EXPECT_EQ(codec().encodeMessage(SharedPreferencesPigeonOptions::make()), hex("810c0100"));
  EXPECT_EQ(codec().encodeMessage(SharedPreferencesPigeonOptions::make("ab")),
            hex("810c0107026162"));
  // A "getAll" request: [null allow list, options].
  EXPECT_EQ(codec().encodeMessage(ChannelList{{}, SharedPreferencesPigeonOptions::make()}),
            hex("0c0200810c0100"));
}

TEST(PreferencesCodec, OptionsDecodeUnderTheNullRule) {
  EXPECT_EQ(codec().decodeMessage(hex("810c0100")), SharedPreferencesPigeonOptions::make());
  EXPECT_EQ(codec().decodeMessage(hex("810c00")), SharedPreferencesPigeonOptions::make());
  EXPECT_EQ(codec().decodeMessage(hex("810c0107026162")),
            SharedPreferencesPigeonOptions::make("ab"));
  for (const auto& v :
       {SharedPreferencesPigeonOptions::make(), SharedPreferencesPigeonOptions::make("x"),
        ChannelValue(ChannelList{1.5, SharedPreferencesPigeonOptions::make("")})}) {
    EXPECT_EQ(codec().decodeMessage(codec().encodeMessage(v)), v);
  }
  for (const char* bad : {"81070178", "8100", "810c0101"}) {
    const ChannelValue v = codec().decodeMessage(hex(bad));
    const auto* custom = v.getIf<ChannelValue::Custom>();
    ASSERT_NE(custom, nullptr) << bad;
    EXPECT_NE(dynamic_cast<const pigeon::MalformedRecord*>(custom->get()), nullptr) << bad;
  }
  EXPECT_THROW(codec().decodeMessage(hex("82")), CodecError);
}

TEST(PreferencesCodec, OptionsEqualityAndHash) {
  const SharedPreferencesPigeonOptions a("s"), b("s"), none;
  EXPECT_TRUE(a.equals(b));
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a.equals(none));
  EXPECT_FALSE(none.equals(pigeon::MalformedRecord(129, "x")));
}

// The plugins without a store: every answer shows the wiring.
class PreferencesWiringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle->info["CFBundleIdentifier"] = platform::InfoValue{std::string("com.example.app")};
    UserDefaultsApiSetup(messenger, std::make_shared<SharedPreferencesPlugin>(nullptr, bundle));
    LegacyUserDefaultsApiSetup(messenger,
                               std::make_shared<LegacySharedPreferencesPlugin>(nullptr, bundle));
  }
  ChannelList send(const std::string& api, const std::string& op, const ChannelValue& message) {
    auto reply = ui.send("dev.flutter.pigeon.shared_preferences_foundation." + api + "." + op,
                         message, codec());
    if (!reply || !*reply || !(*reply)->asList()) {
      ADD_FAILURE() << api << "." << op << ": no list reply";
      return {};
    }
    return *(*reply)->asList();
  }

  EngineMessenger messenger;
  testing::TestUi ui{messenger};
  std::shared_ptr<platform::fakes::FakeBundle> bundle =
      std::make_shared<platform::fakes::FakeBundle>();
};

TEST_F(PreferencesWiringTest, EveryChannelIsServedInOrder) {
  for (const char* op : {"set", "clear", "getAll", "getValue", "getKeys"}) {
    EXPECT_TRUE(messenger.hasHandler(
        std::string("dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.") + op));
  }
  for (const char* op : {"remove", "setBool", "setDouble", "setValue", "getAll", "clear"}) {
    EXPECT_TRUE(messenger.hasHandler(
        std::string("dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.") +
        op));
  }
  UserDefaultsApiSetup(messenger, nullptr);
  EXPECT_FALSE(
      messenger.hasHandler("dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.set"));
  EXPECT_TRUE(messenger.hasHandler(
      "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.remove"));
}

TEST_F(PreferencesWiringTest, MalformedRequestsNameWhatIsWrong) {
  const auto opts = SharedPreferencesPigeonOptions::make();
  struct Case {
    const char* op;
    ChannelValue message;
    const char* says;
  } cases[] = {
      {"set", ChannelValue("k"), "must be a list"},
      {"set", ChannelList{"k", 1}, "must hold 3 arguments, got 2"},
      {"set", ChannelList{1, 1, opts}, "argument 0 (key) must be a string"},
      {"set", ChannelList{"k", {}, opts}, "argument 1 (value) must be a value, got null"},
      {"set", ChannelList{"k", 1, {}},
       "argument 2 (options) must be SharedPreferencesPigeonOptions"},
      {"getAll", ChannelList{"x", opts}, "argument 0 (allowList) must be a list of strings"},
      {"getAll", ChannelList{ChannelList{"a", 1}, opts},
       "must be a list of strings, holds an integer"},
  };
  for (const Case& c : cases) {
    const ChannelList reply = send("UserDefaultsApi", c.op, c.message);
    ASSERT_EQ(reply.size(), 3U) << c.says;
    EXPECT_EQ(reply[0], ChannelValue("invalid-args"));
    EXPECT_THAT(*reply[1].asString(), HasSubstr(c.says));
  }
  // A malformed options record inside an otherwise fine request.
  auto raw = ui.sendRaw("dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.getKeys",
                        hex("0c0200"
                            "8107016b"));
  ASSERT_TRUE(raw);
  const ChannelValue reply = codec().decodeMessage(*raw);
  EXPECT_THAT(*reply.asList()->at(1).asString(), HasSubstr("malformed record"));
  const ChannelList legacy = send("LegacyUserDefaultsApi", "setBool", ChannelList{"k", 1});
  ASSERT_EQ(legacy.size(), 3U);
  EXPECT_THAT(*legacy[1].asString(), HasSubstr("argument 1 (value) must be a bool"));
}

TEST_F(PreferencesWiringTest, WithoutAStoreOperationsAnswerAnError) {
  const ChannelList reply =
      send("UserDefaultsApi", "getValue", ChannelList{"k", SharedPreferencesPigeonOptions::make()});
  ASSERT_EQ(reply.size(), 3U);
  EXPECT_EQ(reply[0], ChannelValue("Unavailable"));
  // Without a bundle identifier the reading needs no store at all.
  bundle->info.clear();
  EXPECT_EQ(
      send("UserDefaultsApi", "getAll", ChannelList{{}, SharedPreferencesPigeonOptions::make()}),
      ChannelList{ChannelMap{}});
  EXPECT_EQ(send("LegacyUserDefaultsApi", "getAll", ChannelList{"", {}}),
            ChannelList{ChannelMap{}});
}

}  // namespace
}  // namespace vellumark::shared_preferences
