#include "generated_plugin_registrant.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "embedding/engine.h"

namespace vellumark {
namespace {

// The registration order every build must follow.
const std::vector<std::string> kOrder = {
    "AppLinksMacosPlugin",
    "DesktopDropPlugin",
    "DeviceInfoPlusMacosPlugin",
    "FilePickerPlugin",
    "FlutterSecureStorageDarwinPlugin",
    "TovraAppUpdaterPlugin",
    "FPPPackageInfoPlusPlugin",
    "TesselMacosPlugin",
    "ScreenRetrieverMacosPlugin",
    "SharedPreferencesPlugin",
    "UrlLauncherPlugin",
    "WindowManagerPlugin",
};

std::vector<std::string> rowNames() {
  std::vector<std::string> names;
  for (const PluginRow& row : generatedPluginRows()) names.emplace_back(row.registrarName);
  return names;
}

TEST(GeneratedPluginRegistrantTest, RowsFollowTheFixedOrderWithoutPdfium) {
  const auto names = rowNames();
  size_t next = 0;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    auto it = std::find(kOrder.begin() + static_cast<std::ptrdiff_t>(next), kOrder.end(), name);
    ASSERT_NE(it, kOrder.end()) << "unknown, repeated or out of order";
    next = static_cast<size_t>(it - kOrder.begin()) + 1;
  }
  EXPECT_EQ(std::count(names.begin(), names.end(), "PDFiumFlutterPlugin"), 0);
  EXPECT_THAT(names, ::testing::Contains("TesselMacosPlugin"));
}

TEST(GeneratedPluginRegistrantTest, RegistersEachRowOnceInOrderThroughItsRegistrar) {
  EngineMessenger messenger;
  PluginRegistry registry(messenger, nullptr, platform::Services{});
  RegisterGeneratedPlugins(registry);
  EXPECT_EQ(registry.pluginKeys(), rowNames());
  // Registration leaves the plugin's channel in place.
  EXPECT_TRUE(messenger.hasHandler("tessel_macos"));
}

}  // namespace
}  // namespace vellumark
