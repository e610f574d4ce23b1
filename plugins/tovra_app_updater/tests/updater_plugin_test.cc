// The updater plugin over the real codec against a fake update framework:
// replies and their check order, what reaches the framework, the log line,
// and the events with their deferral and queueing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_bundle.h"
#include "platform_fakes/fake_updater.h"
#include "tovra_app_updater/tovra_app_updater_plugin.h"

namespace vellumark {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fakes = platform::fakes;

constexpr char kChannel[] = "tovra/app_updater";
constexpr char kEvents[] = "tovra/app_updater/events";
constexpr char kFeed[] = "https://updates.example/appcast.xml";
constexpr char kBundleKey[] = "TNnmaDgwY9111xmVnT1av7HazUwsZND0e/txc+3Tf3Q=";
constexpr char kMismatchLine[] =
    "[TovraAppUpdater] publicEdKey mismatch between Dart and Info.plist \u2014 Sparkle uses "
    "Info.plist value";

ChannelValue args(ChannelMap map) { return ChannelValue(std::move(map)); }

// The plugin registered as the host does it, on fakes and a manual main queue.
class UpdaterHarness {
 public:
  UpdaterHarness() {
    bundle->info["SUPublicEDKey"] = {std::string(kBundleKey)};
    bundle->info["CFBundleShortVersionString"] = {std::string("1.4.2")};
    platform::Services services{bundle, nullptr, queue};
    services.updater = platform::Lazy<platform::UpdateFramework>([this] {
      ++frameworkLoads;
      return framework;
    });
    services.systemLog = log;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    TovraAppUpdaterPlugin::registerWithRegistrar(
        registry->registrarForPlugin("TovraAppUpdaterPlugin"));
  }
  ~UpdaterHarness() {
    ui.reset();
    registry.reset();
  }

  MethodResponse call(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = ui->call(kChannel, method, arguments);
    EXPECT_TRUE(response.has_value()) << method << " was not answered at once";
    return response.value_or(MethodResponse{FlutterMethodNotImplemented});
  }
  void expectSuccess(const std::string& method, const ChannelValue& arguments = {}) {
    EXPECT_EQ(call(method, arguments), MethodResponse{ChannelValue{}}) << method;
  }
  void expectError(const std::string& method, const ChannelValue& arguments,
                   const std::string& code, const std::string& message) {
    EXPECT_EQ(call(method, arguments), MethodResponse{ChannelError::errorWithCode(code, message)})
        << method;
  }
  void configure(ChannelMap extra = {}) {
    ChannelMap map{{"feedUrl", kFeed}};
    for (const auto& [key, value] : extra) map.set(key, value);
    expectSuccess("setConfig", args(std::move(map)));
  }
  std::vector<ChannelValue> events() const {
    std::vector<ChannelValue> out;
    for (const auto& envelope : ui->eventsOn(kEvents)) {
      out.push_back(std::holds_alternative<ChannelValue>(envelope)
                        ? std::get<ChannelValue>(envelope)
                        : ChannelValue("error envelope"));
    }
    return out;
  }
  fakes::FakeUpdater& updater() { return *framework->lastUpdater; }

  std::shared_ptr<fakes::FakeBundle> bundle = std::make_shared<fakes::FakeBundle>();
  std::shared_ptr<fakes::FakeUpdateFramework> framework =
      std::make_shared<fakes::FakeUpdateFramework>();
  std::shared_ptr<fakes::FakeSystemLog> log = std::make_shared<fakes::FakeSystemLog>();
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
  int frameworkLoads = 0;
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<testing::TestUi> ui = std::make_unique<testing::TestUi>(messenger);
};

class UpdaterPluginTest : public ::testing::Test, public UpdaterHarness {};

TEST_F(UpdaterPluginTest, RegistrationLoadsNothingAndUnknownMethodsAreNotImplemented) {
  EXPECT_EQ(frameworkLoads, 0);
  for (const char* method : {"setconfig", "checkForUpdate", "", "SetAutomaticChecks"}) {
    EXPECT_EQ(call(method), MethodResponse{FlutterMethodNotImplemented}) << method;
  }
  EXPECT_EQ(frameworkLoads, 0);
}

TEST_F(UpdaterPluginTest, SetConfigNeedsANonEmptyFeedUrlAndMayBeRetried) {
  const ChannelValue bad[] = {
      ChannelValue{},
      ChannelValue("https://x"),
      args({}),
      args({{"feedUrl", ""}}),
      args({{"feedUrl", int32_t{1}}}),
      args({{"feedURL", kFeed}}),
      ChannelValue(ChannelMap{{int32_t{1}, "x"}, {"feedUrl", kFeed}}),
  };
  for (const auto& arguments : bad) {
    expectError("setConfig", arguments, "INVALID_ARGS", "feedUrl required");
  }
  EXPECT_EQ(framework->controllersMade, 0);
  // Neither before a configuration.
  expectError("checkForUpdates", {}, "NOT_CONFIGURED", "Call setConfig first");
  expectError("setAutomaticChecks", {}, "NOT_CONFIGURED", "Call setConfig first");

  // Not a URL, yet taken as it is.
  configure({{"feedUrl", "not a url"}});
  EXPECT_EQ(framework->controllersMade, 1);
  EXPECT_TRUE(framework->lastStartedUpdater);
  EXPECT_EQ(framework->askFeedURL(), "not a url");
  EXPECT_THAT(updater().calls, IsEmpty());  // the framework's interval stands
}

TEST_F(UpdaterPluginTest, SecondSetConfigIsRefusedWhateverItsArguments) {
  configure({{"scheduledCheckIntervalSeconds", int32_t{600}}});
  for (const auto& arguments :
       {args({{"feedUrl", "https://other"}}), ChannelValue{}, args({{"feedUrl", ""}})}) {
    expectError("setConfig", arguments, "ALREADY_CONFIGURED",
                "AppUpdater already configured \u2014 reconfig not supported");
  }
  EXPECT_EQ(framework->controllersMade, 1);
  EXPECT_EQ(framework->askFeedURL(), kFeed);
  EXPECT_THAT(updater().calls, ElementsAre("setUpdateCheckInterval:600"));
}

TEST_F(UpdaterPluginTest, PublicKeyIsComparedWithTheBundlesAndOnlyLogged) {
  struct Row {
    const char* name;
    ChannelValue given;
    std::optional<platform::InfoValue> bundleKey;
    bool logged;
  };
  const Row rows[] = {
      {"equal", kBundleKey, platform::InfoValue{std::string(kBundleKey)}, false},
      {"empty", "", std::nullopt, false},
      {"not a string", int32_t{5}, std::nullopt, false},
      {"differs", "AAAA", platform::InfoValue{std::string(kBundleKey)}, true},
      {"bundle has none", kBundleKey, std::nullopt, true},
      {"bundle's not a string", kBundleKey, platform::InfoValue{true}, true},
  };
  for (const Row& row : rows) {
    UpdaterHarness fresh;
    fresh.bundle->info.erase("SUPublicEDKey");
    if (row.bundleKey) fresh.bundle->info["SUPublicEDKey"] = *row.bundleKey;
    fresh.configure({{"publicEdKey", row.given}});
    EXPECT_EQ(fresh.log->lines,
              row.logged ? std::vector<std::string>{kMismatchLine} : std::vector<std::string>{})
        << row.name;
    EXPECT_TRUE(fresh.registry->hasPlugin("TovraAppUpdaterPlugin"));
  }
}

TEST_F(UpdaterPluginTest, IntervalsTakeAnyNumberAndIgnoreOtherTypes) {
  configure({{"scheduledCheckIntervalSeconds", "3600"}});
  EXPECT_THAT(updater().calls, IsEmpty());

  expectError("setAutomaticChecks", args({{"intervalSeconds", 5.0}}), "INVALID_ARGS",
              "enabled required");
  expectError("setAutomaticChecks", args({{"enabled", int32_t{1}}}), "INVALID_ARGS",
              "enabled required");
  expectError("setAutomaticChecks", ChannelValue(true), "INVALID_ARGS", "enabled required");
  expectSuccess("setAutomaticChecks",
                args({{"enabled", false}, {"intervalSeconds", int64_t{3600}}}));
  expectSuccess("setAutomaticChecks", args({{"enabled", true}, {"intervalSeconds", 1.5}}));
  expectSuccess("setAutomaticChecks", args({{"enabled", true}, {"intervalSeconds", "60"}}));
  EXPECT_THAT(updater().calls,
              ElementsAre("setAutomaticallyChecksForUpdates:NO", "setUpdateCheckInterval:3600",
                          "setAutomaticallyChecksForUpdates:YES", "setUpdateCheckInterval:1.5",
                          "setAutomaticallyChecksForUpdates:YES"));
}

TEST_F(UpdaterPluginTest, ChecksRunInTheRightModeAndAnnounceThemselvesAfterTheReply) {
  configure();
  ui->listen(kEvents);
  expectSuccess("checkForUpdates");
  // Deferred: nothing reaches the UI before the main queue runs.
  EXPECT_THAT(events(), IsEmpty());
  expectSuccess("checkForUpdates", args({{"userInitiated", true}}));
  expectSuccess("checkForUpdates", args({{"userInitiated", "yes"}}));
  expectSuccess("checkForUpdates", ChannelValue(true));
  queue->runUntilIdle();
  EXPECT_THAT(updater().calls,
              ElementsAre("checkForUpdatesInBackground", "checkForUpdates",
                          "checkForUpdatesInBackground", "checkForUpdatesInBackground"));
  const ChannelValue background(ChannelMap{{"type", "checkStarted"}, {"userInitiated", false}});
  const ChannelValue user(ChannelMap{{"type", "checkStarted"}, {"userInitiated", true}});
  EXPECT_THAT(events(), ElementsAre(background, user, background, background));
}

TEST_F(UpdaterPluginTest, MissingUpdaterCountsAsNotConfigured) {
  framework->makeWithoutUpdater = true;
  configure({{"scheduledCheckIntervalSeconds", 10.0}});
  ui->listen(kEvents);
  expectError("checkForUpdates", {}, "NOT_CONFIGURED", "Call setConfig first");
  expectError("setAutomaticChecks", args({{"enabled", true}}), "NOT_CONFIGURED",
              "Call setConfig first");
  queue->runUntilIdle();
  EXPECT_THAT(events(), IsEmpty());
}

TEST_F(UpdaterPluginTest, FrameworkThatCannotLoadIsReportedAndRetried) {
  framework = nullptr;
  expectError("setConfig", args({{"feedUrl", kFeed}}), "UPDATER_UNAVAILABLE",
              "The update framework could not be loaded");
  expectError("checkForUpdates", {}, "NOT_CONFIGURED", "Call setConfig first");
}

TEST_F(UpdaterPluginTest, FrameworkFindingsBecomeEvents) {
  configure();
  ui->listen(kEvents);
  platform::AppcastItem item;
  item.versionString = "42";
  item.fileURL = "https://updates.example/v42.tar.xz";
  framework->findUpdate(item);
  item.fileURL = "";
  framework->findUpdate(item);
  item.fileURL.reset();
  framework->findUpdate(item);
  framework->findNoUpdate();
  framework->abort("SUSparkleErrorDomain", 1001, "You're up to date!");
  framework->abort("SUSparkleErrorDomain", 1002, "feed unreachable");
  framework->abort("NSURLErrorDomain", 1001, "timed out");
  item.fileURL = "https://updates.example/v42.tar.xz";
  framework->willInstall(item);
  bundle->info.erase("CFBundleShortVersionString");
  framework->findNoUpdate();
  bundle->info["CFBundleShortVersionString"] = {int64_t{3}};
  framework->findNoUpdate();
  EXPECT_THAT(events(), IsEmpty());
  queue->runUntilIdle();

  const ChannelValue missing(
      ChannelMap{{"type", "updateError"}, {"message", "appcast item missing enclosure URL"}});
  EXPECT_THAT(
      events(),
      ElementsAre(
          ChannelValue(ChannelMap{{"type", "updateAvailable"},
                                  {"version", "42"},
                                  {"downloadUrl", "https://updates.example/v42.tar.xz"}}),
          missing, missing,
          ChannelValue(ChannelMap{{"type", "noUpdateAvailable"}, {"currentVersion", "1.4.2"}}),
          ChannelValue(ChannelMap{{"type", "updateError"}, {"message", "feed unreachable"}}),
          ChannelValue(ChannelMap{{"type", "updateError"}, {"message", "timed out"}}),
          ChannelValue(ChannelMap{{"type", "updateReadyToInstall"}, {"version", "42"}}),
          ChannelValue(ChannelMap{{"type", "noUpdateAvailable"}, {"currentVersion", ""}}),
          ChannelValue(ChannelMap{{"type", "noUpdateAvailable"}, {"currentVersion", ""}})));
}

TEST_F(UpdaterPluginTest, EventsWaitForAListenerInOrderAndQueueAgainAfterCancel) {
  configure();
  expectSuccess("checkForUpdates");
  framework->findNoUpdate();
  framework->abort("SUSparkleErrorDomain", 3001, "bad signature");
  queue->runUntilIdle();
  EXPECT_THAT(events(), IsEmpty());

  ui->listen(kEvents);
  const auto first = events();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0], ChannelValue(ChannelMap{{"type", "checkStarted"}, {"userInitiated", false}}));
  EXPECT_EQ(first[1],
            ChannelValue(ChannelMap{{"type", "noUpdateAvailable"}, {"currentVersion", "1.4.2"}}));
  EXPECT_EQ(first[2],
            ChannelValue(ChannelMap{{"type", "updateError"}, {"message", "bad signature"}}));

  ui->cancel(kEvents);
  expectSuccess("checkForUpdates", args({{"userInitiated", true}}));
  queue->runUntilIdle();
  ui->clearReceived();
  ui->listen(kEvents);
  EXPECT_THAT(
      events(),
      ElementsAre(ChannelValue(ChannelMap{{"type", "checkStarted"}, {"userInitiated", true}})));
}

TEST_F(UpdaterPluginTest, EventsOfAPluginThatWentAwayAreDropped) {
  configure();
  ui->listen(kEvents);
  auto delegate = framework->lastDelegate;
  auto updaterKeptByFramework = framework->lastUpdater;
  // The forwarder outlives the plugin (the framework still holds it), but
  // its events lead nowhere.
  auto forwarder = delegate.lock();
  ui.reset();
  registry.reset();
  messenger.setMessageHandler(kChannel, nullptr);
  messenger.setMessageHandler(kEvents, nullptr);
  ASSERT_TRUE(forwarder);
  forwarder->updaterDidNotFindUpdate(*updaterKeptByFramework);
  EXPECT_EQ(queue->runUntilIdle(), 1u);
}

}  // namespace
}  // namespace vellumark
