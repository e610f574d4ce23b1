// A build without self-update: the updater channel works as on a feed that
// never has anything newer.
#include "updater_disabled.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <variant>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_bundle.h"
#include "tovra_app_updater/tovra_app_updater_plugin.h"

namespace vellumark {
namespace {

using ::testing::ElementsAre;

constexpr char kChannel[] = "tovra/app_updater";
constexpr char kEvents[] = "tovra/app_updater/events";

TEST(NoUpdateFrameworkTest, EveryCheckFindsNoUpdate) {
  auto queue = std::make_shared<ManualQueue>();
  auto bundle = std::make_shared<platform::fakes::FakeBundle>();
  bundle->info["CFBundleShortVersionString"] = {std::string("1.0.0")};
  platform::Services services{bundle, nullptr, queue};
  services.updater = platform::Lazy<platform::UpdateFramework>::of(makeNoUpdateFramework(queue));
  EngineMessenger messenger;
  auto registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
  TovraAppUpdaterPlugin::registerWithRegistrar(
      registry->registrarForPlugin("TovraAppUpdaterPlugin"));
  auto ui = std::make_unique<testing::TestUi>(messenger);

  ui->listen(kEvents);
  EXPECT_EQ(ui->call(kChannel, "setConfig",
                     ChannelValue(ChannelMap{{"feedUrl", "https://updates.example/appcast.xml"},
                                             {"automaticChecks", true},
                                             {"checkInterval", 3600}})),
            MethodResponse{ChannelValue{}});
  EXPECT_EQ(
      ui->call(kChannel, "checkForUpdates", ChannelValue(ChannelMap{{"userInitiated", true}})),
      MethodResponse{ChannelValue{}});
  queue->runUntilIdle();
  EXPECT_EQ(ui->call(kChannel, "checkForUpdates"), MethodResponse{ChannelValue{}});
  queue->runUntilIdle();

  std::vector<ChannelValue> events;
  for (const auto& envelope : ui->eventsOn(kEvents)) {
    ASSERT_TRUE(std::holds_alternative<ChannelValue>(envelope));
    events.push_back(std::get<ChannelValue>(envelope));
  }
  const ChannelValue none(ChannelMap{{"type", "noUpdateAvailable"}, {"currentVersion", "1.0.0"}});
  EXPECT_THAT(
      events,
      ElementsAre(ChannelValue(ChannelMap{{"type", "checkStarted"}, {"userInitiated", true}}), none,
                  ChannelValue(ChannelMap{{"type", "checkStarted"}, {"userInitiated", false}}),
                  none));
  ui.reset();
  registry.reset();
}

}  // namespace
}  // namespace vellumark
