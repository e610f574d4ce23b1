// The window and screen services on GTK 3 / GDK (X11). Both are cheap to
// make: they touch GTK, GDK and the session bus only when first used, so
// they may be made before GTK is initialised. Main-thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/screens.h"
#include "platform/window_control.h"

namespace vellumark::linux_platform {

// `desktopId` names the application's desktop file ("vellumark.desktop"),
// which docks use to find the tile of the launcher-entry signal.
std::shared_ptr<platform::WindowSystem> makeGtkWindowSystem(std::string desktopId);
std::shared_ptr<platform::Screens> makeGdkScreens();

}  // namespace vellumark::linux_platform
