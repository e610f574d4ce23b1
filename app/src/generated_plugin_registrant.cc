#include "generated_plugin_registrant.h"

#include <array>

#include "tessel_macos/tessel_macos_plugin.h"

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
// Rows of plugins not built yet are left out, each added at its position.
constexpr auto kRows = std::to_array<PluginRow>({
    {"TesselMacosPlugin", &TesselMacosPlugin::registerWithRegistrar},
});

}  // namespace

std::span<const PluginRow> generatedPluginRows() { return kRows; }

void RegisterGeneratedPlugins(FlutterPluginRegistry& registry) {
  for (const PluginRow& row : generatedPluginRows()) {
    row.registerWithRegistrar(registry.registrarForPlugin(row.registrarName));
  }
}

}  // namespace vellumark
