// Displays, the cursor and display events on fake screens, through the
// real codec.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <variant>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_screens.h"
#include "screen_retriever_macos/screen_retriever_macos_plugin.h"

namespace vellumark {
namespace {

using platform::ScreenInfo;
using ::testing::IsEmpty;

constexpr char kChannel[] = "marrowdene/screen_retriever";
constexpr char kEvents[] = "marrowdene/screen_retriever_event";

// 1440 by 900 with a 25-point menu bar at the top.
const ScreenInfo kPrimary{{0, 0, 1440, 900}, {0, 0, 1440, 875}, "Built-in Display", 69733378};
// Entirely below the primary: its top edge at y 0.
const ScreenInfo kBelow{{0, -768, 1024, 768}, {0, -768, 1024, 768}, "DELL U2419H", std::nullopt};

class ScreenRetrieverTest : public ::testing::Test {
 protected:
  ScreenRetrieverTest() {
    screens->list = {kPrimary};
    platform::Services services;
    services.screens = screens;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    ScreenRetrieverMacosPlugin::registerWithRegistrar(
        registry->registrarForPlugin("ScreenRetrieverMacosPlugin"));
  }

  ChannelValue call(const std::string& method) {
    auto response = ui.call(kChannel, method);
    const auto* value = response ? std::get_if<ChannelValue>(&*response) : nullptr;
    if (value == nullptr) {
      ADD_FAILURE() << method << " did not answer a value";
      return {};
    }
    return *value;
  }
  std::vector<ChannelValue> events() {
    std::vector<ChannelValue> out;
    for (const auto& envelope : ui.eventsOn(kEvents)) {
      const auto* value = std::get_if<ChannelValue>(&envelope);
      out.push_back(value != nullptr ? *value : ChannelValue("error"));
    }
    ui.clearReceived();
    return out;
  }
  static ChannelValue event(const char* type) { return ChannelMap{{"type", type}}; }

  std::shared_ptr<platform::fakes::FakeScreens> screens =
      std::make_shared<platform::fakes::FakeScreens>();
  EngineMessenger messenger;
  testing::TestUi ui{messenger};
  std::unique_ptr<PluginRegistry> registry;
};

TEST_F(ScreenRetrieverTest, PrimaryDisplayInTopLeftCoordinates) {
  const ChannelValue expected = ChannelMap{
      {"id", "69733378"},
      {"name", "Built-in Display"},
      {"size", ChannelMap{{"width", 1440.0}, {"height", 900.0}}},
      {"visiblePosition", ChannelMap{{"dx", 0.0}, {"dy", 25.0}}},
      {"visibleSize", ChannelMap{{"width", 1440.0}, {"height", 875.0}}},
  };
  const ChannelValue primary = call("getPrimaryDisplay");
  EXPECT_EQ(primary, expected);
  // Keys in their order.
  std::vector<std::string> keys;
  for (const auto& [key, value] : *primary.asMap()) keys.push_back(*key.asString());
  EXPECT_THAT(keys, ::testing::ElementsAre("id", "name", "size", "visiblePosition", "visibleSize"));
}

TEST_F(ScreenRetrieverTest, AllDisplaysInScreenOrderAgainstThePrimary) {
  screens->list = {kPrimary, kBelow};
  const ChannelValue all = call("getAllDisplays");
  const ChannelList& displays = *all.asMap()->find("displays")->asList();
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(*displays[0].asMap()->find("name"), ChannelValue("Built-in Display"));
  // No screen number: id "0"; the second screen starts 900 below the primary's top.
  EXPECT_EQ(*displays[1].asMap()->find("id"), ChannelValue("0"));
  EXPECT_EQ(*displays[1].asMap()->find("visiblePosition"),
            ChannelValue(ChannelMap{{"dx", 0.0}, {"dy", 900.0}}));

  screens->list.clear();
  EXPECT_EQ(call("getAllDisplays"), ChannelValue(ChannelMap{{"displays", ChannelList{}}}));
  EXPECT_EQ(*call("getPrimaryDisplay").asMap()->find("id"), ChannelValue("0"));
}

// Measured from the primary screen's top, wherever other screens are.
TEST_F(ScreenRetrieverTest, CursorIsConvertedLikeEveryOtherPosition) {
  screens->mouse = {100, 800};
  const ChannelValue expected = ChannelMap{{"dx", 100.0}, {"dy", 100.0}};
  EXPECT_EQ(call("getCursorScreenPoint"), expected);
  screens->list = {kPrimary, kBelow};
  EXPECT_EQ(call("getCursorScreenPoint"), expected);
  screens->mainIndex = 1;
  EXPECT_EQ(call("getCursorScreenPoint"), expected);
  // On the screen below.
  screens->mouse = {10, -100};
  EXPECT_EQ(call("getCursorScreenPoint"), ChannelValue(ChannelMap{{"dx", 10.0}, {"dy", 1000.0}}));
}

TEST_F(ScreenRetrieverTest, OneEventPerChangeOfTheScreenCount) {
  // Changes before anyone listens are counted but not heard.
  screens->list = {kPrimary, kBelow};
  screens->notify();
  ASSERT_TRUE(ui.listen(kEvents).has_value());
  EXPECT_THAT(events(), IsEmpty());

  screens->list = {kPrimary};
  screens->notify();
  EXPECT_EQ(events(), std::vector<ChannelValue>{event("display-removed")});
  // A resolution change, or a swap, keeps the count.
  screens->list = {ScreenInfo{{0, 0, 1920, 1080}, {}, "Other", 5}};
  screens->notify();
  EXPECT_THAT(events(), IsEmpty());
  // Two added at once: one event.
  screens->list = {kPrimary, kBelow, kBelow};
  screens->notify();
  EXPECT_EQ(events(), std::vector<ChannelValue>{event("display-added")});

  ASSERT_TRUE(ui.cancel(kEvents).has_value());
  screens->list = {kPrimary};
  screens->notify();
  EXPECT_THAT(events(), IsEmpty());
}

TEST_F(ScreenRetrieverTest, UnknownMethodsAndTeardown) {
  for (const char* name : {"getcursorScreenPoint", "getAllDisplay", ""}) {
    auto response = ui.call(kChannel, name);
    ASSERT_TRUE(response.has_value());
    EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(*response)) << name;
  }
  EXPECT_EQ(screens->observerCount(), 1u);
  registry.reset();
  messenger.setMessageHandler(kChannel, nullptr);
  messenger.setMessageHandler(kEvents, nullptr);
  EXPECT_EQ(screens->observerCount(), 0u);
  screens->notify();
}

}  // namespace
}  // namespace vellumark
