// Both preferences interfaces through their channels and codec, on the real
// store in a temporary folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_linux/user_defaults.h"
#include "shared_preferences_foundation/shared_preferences_plugin.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using shared_preferences::MessagesPigeonCodec;
using shared_preferences::SharedPreferencesPigeonOptions;
using ::testing::UnorderedElementsAre;

constexpr char kApp[] = "com.example.app";

// A bundle that only names the application.
class IdentifiedBundle : public platform::Bundle {
 public:
  std::string bundlePath() const override { return "/nonexistent"; }
  std::string resourcePath() const override { return "/nonexistent/Resources"; }
  std::optional<std::string> bundleIdentifier() const override { return kApp; }
  std::optional<platform::InfoValue> objectForInfoDictionaryKey(const std::string&) const override {
    return std::nullopt;
  }
  std::optional<std::string> pathForResource(const std::string&,
                                             const std::string&) const override {
    return std::nullopt;
  }
};

ChannelValue opts(std::optional<std::string> suite = std::nullopt) {
  return SharedPreferencesPigeonOptions::make(std::move(suite));
}

class PreferencesPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellumark-prefs.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder = tmpl;
    platform::Services services;
    services.bundle = bundle;
    services.userDefaults = linux_platform::makeUserDefaults(folder.string(), kApp);
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    SharedPreferencesPlugin::registerWithRegistrar(
        registry->registrarForPlugin("SharedPreferencesPlugin"));
  }
  void TearDown() override { fs::remove_all(folder); }

  // The reply list of one operation.
  ChannelList send(const std::string& api, const std::string& op, ChannelList args) {
    auto reply = ui.send("dev.flutter.pigeon.shared_preferences_foundation." + api + "." + op,
                         ChannelValue(std::move(args)), *MessagesPigeonCodec::sharedInstance());
    if (!reply || !*reply || !(*reply)->asList()) {
      ADD_FAILURE() << op << ": no list reply";
      return {};
    }
    return *(*reply)->asList();
  }
  // The result of a successful operation.
  ChannelValue ok(const std::string& op, ChannelList args) {
    return result("UserDefaultsApi", op, args);
  }
  ChannelValue legacy(const std::string& op, ChannelList args) {
    return result("LegacyUserDefaultsApi", op, args);
  }
  ChannelValue result(const std::string& api, const std::string& op, ChannelList args) {
    ChannelList reply = send(api, op, std::move(args));
    EXPECT_EQ(reply.size(), 1U) << op
                                << (reply.size() == 3 && reply[1].asString() ? *reply[1].asString()
                                                                             : "");
    return reply.empty() ? ChannelValue() : reply[0];
  }
  std::vector<std::string> keys(ChannelValue allow = {}, ChannelValue options = opts()) {
    std::vector<std::string> out;
    const ChannelValue list = ok("getKeys", {allow, options});
    for (const auto& k : *list.asList()) out.push_back(*k.asString());
    return out;
  }

  fs::path folder;
  std::shared_ptr<platform::Bundle> bundle = std::make_shared<IdentifiedBundle>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  testing::TestUi ui{messenger};
};

TEST_F(PreferencesPluginTest, OnlyCompatibleValuesAreRead) {
  const ChannelValue nested = ChannelList{"a", int32_t{1}, 2.5, true, ChannelList{ChannelList{}}};
  EXPECT_EQ(ok("set", {"list", nested, opts()}), ChannelValue());
  EXPECT_EQ(ok("set", {"big", int64_t{-5'000'000'000}, opts()}), ChannelValue());
  EXPECT_EQ(ok("set", {"map", ChannelMap{{"k", 1}}, opts()}), ChannelValue());
  EXPECT_EQ(ok("set", {"data", ChannelValue::bytes({1, 2}), opts()}), ChannelValue());
  EXPECT_EQ(ok("set", {"listWithMap", ChannelList{1, ChannelMap{}}, opts()}), ChannelValue());

  EXPECT_EQ(ok("getValue", {"list", opts()}), nested);
  EXPECT_EQ(ok("getValue", {"big", opts()}), ChannelValue(int64_t{-5'000'000'000}));
  for (const char* key : {"map", "data", "listWithMap", "absent"}) {
    EXPECT_EQ(ok("getValue", {key, opts()}), ChannelValue()) << key;
  }
  EXPECT_EQ(ok("getAll", {{}, opts()}),
            ChannelValue(ChannelMap{{"big", int64_t{-5'000'000'000}}, {"list", nested}}));
  EXPECT_THAT(keys(), UnorderedElementsAre("big", "list"));
  // Allow lists: empty keeps nothing, absent keys are no error.
  EXPECT_EQ(ok("getAll", {ChannelList{}, opts()}), ChannelValue(ChannelMap{}));
  EXPECT_THAT(keys(ChannelList{"list", "map", "nope"}), UnorderedElementsAre("list"));
}

TEST_F(PreferencesPluginTest, ValuesTheStoreCannotHoldWriteNothing) {
  for (const ChannelValue& bad :
       {ChannelValue(ChannelList{1, {}}), ChannelValue(ChannelMap{{1, 1}}),
        ChannelValue(FlutterStandardTypedData::typedDataWithInt32({1})),
        ChannelValue(std::string("a\0b", 3)), opts()}) {
    const ChannelList reply = send("UserDefaultsApi", "set", {"k", bad, opts()});
    // Refused by the plugin ("invalid-args") or by the store (NUL in a string).
    ASSERT_EQ(reply.size(), 3U);
    EXPECT_THAT(*reply[0].asString(), ::testing::AnyOf("invalid-args", "Storage Error"));
  }
  EXPECT_FALSE(fs::exists(folder / "com.example.app.plist"));
}

TEST_F(PreferencesPluginTest, Suites) {
  for (const char* refused : {"NSGlobalDomain", "", "a/b"}) {
    const ChannelList reply = send("UserDefaultsApi", "set", {"k", 1, opts(refused)});
    EXPECT_EQ(
        reply,
        (ChannelList{"Argument Error",
                     std::string("The provided Suite Name '") + refused + "' does not exist", ""}));
    EXPECT_EQ(send("UserDefaultsApi", "getAll", {{}, opts(refused)}).size(), 3U);
  }
  EXPECT_EQ(ok("getAll", {{}, opts("new.suite")}), ChannelValue(ChannelMap{}));
  ok("set", {"inSuite", "s", opts("group.one")});
  ok("set", {"inApp", "a", opts()});
  EXPECT_EQ(ok("getAll", {{}, opts("group.one")}), ChannelValue(ChannelMap{{"inSuite", "s"}}));
  EXPECT_EQ(ok("getValue", {"inApp", opts("group.one")}), ChannelValue());
  EXPECT_THAT(keys(), UnorderedElementsAre("inApp"));
  EXPECT_FALSE(fs::exists(folder / "NSGlobalDomain.plist"));
  EXPECT_FALSE(fs::exists(folder / ".plist"));
}

TEST_F(PreferencesPluginTest, Clear) {
  for (const char* key : {"a", "b", "c"}) ok("set", {key, true, opts()});
  ok("set", {"m", ChannelMap{{"k", 1}}, opts()});
  EXPECT_EQ(ok("clear", {ChannelList{"a", "absent"}, opts()}), ChannelValue());
  EXPECT_THAT(keys(), UnorderedElementsAre("b", "c"));
  EXPECT_EQ(ok("clear", {{}, opts()}), ChannelValue());
  EXPECT_EQ(ok("getAll", {{}, opts()}), ChannelValue(ChannelMap{}));
  // The stored map went too: clearing without a list empties the domain.
  EXPECT_EQ(ok("getValue", {"m", opts()}), ChannelValue());
}

TEST_F(PreferencesPluginTest, LegacyInterface) {
  EXPECT_EQ(legacy("setBool", {"flutter.b", true}), ChannelValue());
  EXPECT_EQ(legacy("setDouble", {"flutter.d", 1.0}), ChannelValue());
  EXPECT_EQ(legacy("setValue", {"flutter.s", "x"}), ChannelValue());
  EXPECT_EQ(legacy("setValue", {"flutter.m", ChannelMap{{"k", 1}}}), ChannelValue());
  EXPECT_EQ(legacy("setValue", {"other", int32_t{3}}), ChannelValue());
  EXPECT_EQ(legacy("getAll", {"flutter.", {}}),
            ChannelValue(ChannelMap{{"flutter.b", true}, {"flutter.d", 1.0}, {"flutter.s", "x"}}));
  EXPECT_EQ(legacy("getAll", {"", ChannelList{"other"}}), ChannelValue(ChannelMap{{"other", 3}}));
  // The current interface reads the same domain.
  EXPECT_EQ(ok("getValue", {"flutter.d", opts()}), ChannelValue(1.0));

  EXPECT_EQ(legacy("clear", {"flutter.", ChannelList{"flutter.b", "other"}}), ChannelValue(true));
  EXPECT_EQ(legacy("clear", {"nothing.", {}}), ChannelValue(true));
  EXPECT_EQ(legacy("remove", {"never.stored"}), ChannelValue());
  EXPECT_EQ(legacy("getAll", {"", {}}),
            ChannelValue(ChannelMap{{"flutter.d", 1.0}, {"flutter.s", "x"}, {"other", 3}}));
  EXPECT_EQ(legacy("clear", {"flutter.", {}}), ChannelValue(true));
  // A stored map is never "getAll"'s, so "clear" leaves it.
  EXPECT_THAT(keys(), UnorderedElementsAre("other"));
  EXPECT_NE(linux_platform::makeUserDefaults(folder.string(), kApp)
                ->standardUserDefaults()
                ->objectForKey("flutter.m"),
            std::nullopt);
  EXPECT_EQ(legacy("remove", {"other"}), ChannelValue());
  EXPECT_EQ(legacy("getAll", {"", {}}), ChannelValue(ChannelMap{}));
}

TEST_F(PreferencesPluginTest, ValuesWrittenByAnotherProcessAreSeenAtOnce) {
  ok("set", {"k", 1, opts()});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    const bool written = linux_platform::makeUserDefaults(folder.string(), kApp)
                             ->standardUserDefaults()
                             ->setObject("k", {int64_t{2}}, error);
    _exit(written ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ok("getValue", {"k", opts()}), ChannelValue(2));
}

}  // namespace
}  // namespace vellumark
