#include "generated_plugin_registrant.h"

#include <array>

#include "app_links/app_links_plugin.h"
#include "desktop_drop/desktop_drop_plugin.h"
#include "device_info_plus/device_info_plus_plugin.h"
#include "file_picker/file_picker_plugin.h"
#include "flutter_secure_storage_darwin/flutter_secure_storage_darwin_plugin.h"
#include "package_info_plus/package_info_plus_plugin.h"
#include "screen_retriever_macos/screen_retriever_macos_plugin.h"
#include "shared_preferences_foundation/shared_preferences_plugin.h"
#include "tessel_macos/tessel_macos_plugin.h"
#include "tovra_app_updater/tovra_app_updater_plugin.h"
#include "url_launcher_macos/url_launcher_plugin.h"
#include "window_manager/window_manager_plugin.h"

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
    {"AppLinksMacosPlugin", &AppLinksMacosPlugin::registerWithRegistrar},
    {"DesktopDropPlugin", &DesktopDropPlugin::registerWithRegistrar},
    {"DeviceInfoPlusMacosPlugin", &DeviceInfoPlusMacosPlugin::registerWithRegistrar},
    {"FilePickerPlugin", &FilePickerPlugin::registerWithRegistrar},
    {"FlutterSecureStorageDarwinPlugin", &FlutterSecureStorageDarwinPlugin::registerWithRegistrar},
    {"TovraAppUpdaterPlugin", &TovraAppUpdaterPlugin::registerWithRegistrar},
    {"FPPPackageInfoPlusPlugin", &FPPPackageInfoPlusPlugin::registerWithRegistrar},
    {"TesselMacosPlugin", &TesselMacosPlugin::registerWithRegistrar},
    {"ScreenRetrieverMacosPlugin", &ScreenRetrieverMacosPlugin::registerWithRegistrar},
    {"SharedPreferencesPlugin", &SharedPreferencesPlugin::registerWithRegistrar},
    {"UrlLauncherPlugin", &UrlLauncherPlugin::registerWithRegistrar},
    {"WindowManagerPlugin", &WindowManagerPlugin::registerWithRegistrar},
});

}  // namespace

std::span<const PluginRow> generatedPluginRows() { return kRows; }

void RegisterGeneratedPlugins(FlutterPluginRegistry& registry) {
  for (const PluginRow& row : generatedPluginRows()) {
    row.registerWithRegistrar(registry.registrarForPlugin(row.registrarName));
  }
}

}  // namespace vellumark
