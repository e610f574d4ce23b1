// The window manager plugin registered as the host does it, on fake windows,
// screens and a main queue the test drains, driven through the real codec.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_screens.h"
#include "platform_fakes/fake_window_control.h"
#include "window_manager/window_manager_plugin.h"

namespace vellumark::window_manager_test {

namespace fakes = platform::fakes;
using platform::Rect;

inline constexpr char kChannel[] = "window_manager";

struct FakeView : platform::View {};

inline ChannelValue args(ChannelMap map) { return ChannelValue(std::move(map)); }

inline ChannelValue field(const ChannelValue& map, std::string_view key) {
  const ChannelValue* value = map.asMap() != nullptr ? map.asMap()->find(key) : nullptr;
  return value != nullptr ? *value : ChannelValue{};
}

class WindowManagerTest : public ::testing::Test {
 protected:
  WindowManagerTest() {
    // The primary screen of the examples: 1080 points high.
    screens->list = {{{0, 0, 1920, 1080}, {0, 0, 1920, 1055}, "Primary", 1}};
    system->view = &view;
    platform::Services services{nullptr, nullptr, queue};
    services.windows = system;
    services.screens = screens;
    registry = std::make_unique<PluginRegistry>(messenger, &view, services);
    WindowManagerPlugin::registerWithRegistrar(registry->registrarForPlugin("WindowManagerPlugin"));
  }

  // The reply's value; fails the test on anything else.
  ChannelValue call(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = ui.call(kChannel, method, arguments);
    if (!response) {
      ADD_FAILURE() << method << " got no reply";
      return {};
    }
    const auto* value = std::get_if<ChannelValue>(&*response);
    if (value == nullptr) {
      ADD_FAILURE() << method << " did not answer a value";
      return {};
    }
    return *value;
  }
  void expectTrue(const std::string& method, const ChannelValue& arguments = {}) {
    EXPECT_EQ(call(method, arguments), ChannelValue(true)) << method;
  }
  void init() { expectTrue("ensureInitialized"); }

  // The event names sent so far, and forgets them.
  std::vector<std::string> takeEvents() {
    std::vector<std::string> names;
    for (const MethodCall& c : ui.methodCallsOn(kChannel)) {
      EXPECT_EQ(c.method, "onEvent");
      const ChannelValue name = field(c.arguments, "eventName");
      names.push_back(name.asString() != nullptr ? *name.asString() : "?");
    }
    ui.clearReceived();
    return names;
  }

  fakes::FakeWindowControl& window() { return *system->window; }

  FakeView view;
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
  std::shared_ptr<fakes::FakeWindowSystem> system = std::make_shared<fakes::FakeWindowSystem>();
  std::shared_ptr<fakes::FakeScreens> screens = std::make_shared<fakes::FakeScreens>();
  EngineMessenger messenger;
  testing::TestUi ui{messenger};
  std::unique_ptr<PluginRegistry> registry;
};

}  // namespace vellumark::window_manager_test
