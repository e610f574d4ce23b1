#include "generated_plugin_registrant.h"

#include <array>

// A plugin's row is compiled in when its target is linked (its header is then
// on the include path), so the host builds while plugins are still missing.
#if __has_include("tessel_macos/tessel_macos_plugin.h")
#include "tessel_macos/tessel_macos_plugin.h"
#define VELLUMARK_HAS_TESSEL_MACOS 1
#endif

namespace vellumark {
namespace {

// The order is part of the contract: a plugin registered earlier has its
// channels and observers in place before a later one registers. Rows:
//  1 AppLinksMacosPlugin          2 DesktopDropPlugin
//  3 DeviceInfoPlusMacosPlugin    4 FilePickerPlugin
//  5 FlutterSecureStorageDarwinPlugin  6 TovraAppUpdaterPlugin
//  7 FPPPackageInfoPlusPlugin     8 TesselMacosPlugin
//  9 ScreenRetrieverMacosPlugin  10 SharedPreferencesPlugin
// 11 UrlLauncherPlugin           12 WindowManagerPlugin
// PDFiumFlutterPlugin is deliberately absent: the host never calls PDFium.
constexpr auto kRows = std::to_array<PluginRow>({
#ifdef VELLUMARK_HAS_TESSEL_MACOS
    {"TesselMacosPlugin", &TesselMacosPlugin::registerWithRegistrar},
#endif
    // Keeps the array non-empty while no plugin is built in.
    {nullptr, nullptr},
});

}  // namespace

std::span<const PluginRow> generatedPluginRows() {
  return std::span<const PluginRow>(kRows.data(), kRows.size() - 1);
}

void RegisterGeneratedPlugins(FlutterPluginRegistry& registry) {
  for (const PluginRow& row : generatedPluginRows()) {
    row.registerWithRegistrar(registry.registrarForPlugin(row.registrarName));
  }
}

}  // namespace vellumark
