// Incoming links through the real codec: link requests from a scripted
// source, the two queries and the event stream as the UI sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "app_links/app_links_plugin.h"
#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_workspace.h"

namespace vellumark {
namespace {

using platform::fakes::FakeIncomingLinks;
using platform::fakes::FakeUrlParser;

constexpr char kMessages[] = "corvane.app_links/messages";
constexpr char kEvents[] = "corvane.app_links/events";

class AppLinksTest : public ::testing::Test {
 protected:
  AppLinksTest() {
    platform::Services services;
    services.incomingLinks = links;
    services.urlParser = parser;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    AppLinksMacosPlugin::registerWithRegistrar(registry->registrarForPlugin("AppLinksMacosPlugin"));
    ui = std::make_unique<testing::TestUi>(messenger);
  }

  void launch() { registry->publishWillFinishLaunching(); }

  ChannelValue query(const char* method) {
    auto response = ui->call(kMessages, method);
    EXPECT_TRUE(response.has_value());
    const auto* value = response ? std::get_if<ChannelValue>(&*response) : nullptr;
    EXPECT_NE(value, nullptr) << method;
    return value ? *value : ChannelValue();
  }

  // The links pushed on the stream so far.
  std::vector<std::string> pushed() {
    std::vector<std::string> texts;
    for (const auto& event : ui->eventsOn(kEvents)) {
      const auto* value = std::get_if<ChannelValue>(&event);
      texts.push_back(value && value->asString() ? *value->asString() : "<not a string>");
    }
    return texts;
  }

  void listen() { ASSERT_TRUE(ui->listen(kEvents).has_value()); }
  void cancel() { ASSERT_TRUE(ui->cancel(kEvents).has_value()); }

  std::shared_ptr<FakeIncomingLinks> links = std::make_shared<FakeIncomingLinks>();
  std::shared_ptr<FakeUrlParser> parser = std::make_shared<FakeUrlParser>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<testing::TestUi> ui;
};

TEST_F(AppLinksTest, TakesRequestsOnlyOnceLaunchIsAboutToFinish) {
  EXPECT_FALSE(links->installed());
  EXPECT_FALSE(links->deliver("vellumark://early"));
  launch();
  EXPECT_EQ(links->installs, 1);
  EXPECT_TRUE(links->deliver("vellumark://late"));
  EXPECT_EQ(query("getInitialLink"), ChannelValue("vellumark://late"));
}

TEST_F(AppLinksTest, BothQueriesAreNullBeforeAnyLink) {
  launch();
  EXPECT_TRUE(query("getInitialLink").isNull());
  EXPECT_TRUE(query("getLatestLink").isNull());
  auto response = ui->call(kMessages, "getinitiallink");
  ASSERT_TRUE(response.has_value());
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(*response));
}

TEST_F(AppLinksTest, LinkBeforeListenIsPushedByTheFirstListenOnly) {
  launch();
  links->deliver("vellumark://open?doc=A%20B#p2");
  // Kept exactly as received.
  EXPECT_EQ(query("getInitialLink"), ChannelValue("vellumark://open?doc=A%20B#p2"));
  EXPECT_EQ(query("getLatestLink"), ChannelValue("vellumark://open?doc=A%20B#p2"));
  listen();
  EXPECT_THAT(pushed(), ::testing::ElementsAre("vellumark://open?doc=A%20B#p2"));
  cancel();
  listen();
  EXPECT_EQ(pushed().size(), 1u);
}

TEST_F(AppLinksTest, LiveLinksArePushedAndNeverReplayed) {
  launch();
  listen();
  EXPECT_TRUE(pushed().empty());
  links->deliver("vellumark://one");
  links->deliver("vellumark://two");
  EXPECT_THAT(pushed(), ::testing::ElementsAre("vellumark://one", "vellumark://two"));

  cancel();
  links->deliver("vellumark://three");  // stored, pushed to nobody
  EXPECT_EQ(pushed().size(), 2u);
  EXPECT_EQ(query("getLatestLink"), ChannelValue("vellumark://three"));
  EXPECT_EQ(query("getInitialLink"), ChannelValue("vellumark://one"));

  // A fresh listen gets no replay: a link was pushed already.
  listen();
  EXPECT_EQ(pushed().size(), 2u);
  links->deliver("vellumark://four");
  EXPECT_THAT(pushed(),
              ::testing::ElementsAre("vellumark://one", "vellumark://two", "vellumark://four"));
  EXPECT_EQ(query("getInitialLink"), ChannelValue("vellumark://one"));
}

TEST_F(AppLinksTest, RequestsThatAreNoUrlChangeNothing) {
  launch();
  links->deliver("vellumark://first");
  parser->rejected.insert("vellumark://bad");
  listen();
  for (const char* text : {"", "not a url", "vellumark://bad", "://x"}) links->deliver(text);
  EXPECT_EQ(query("getLatestLink"), ChannelValue("vellumark://first"));
  EXPECT_EQ(pushed().size(), 1u);
}

TEST_F(AppLinksTest, ALinkAfterThePluginIsGoneIsHarmless) {
  launch();
  ui.reset();
  registry.reset();
  EXPECT_TRUE(links->deliver("vellumark://after"));
}

}  // namespace
}  // namespace vellumark
