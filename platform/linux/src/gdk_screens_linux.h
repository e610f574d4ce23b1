// Screens on GDK: the monitors of the default display, their geometry and
// workarea, the pointer, and monitor changes. Also the conversion between
// GDK's root coordinates (top-left origin) and the platform's bottom-left
// coordinates whose origin is the primary monitor's bottom-left corner.
// Main-thread only.
#pragma once

#include <gdk/gdk.h>

#include <map>
#include <memory>
#include <vector>

#include "gtk_object.h"
#include "platform/screens.h"

namespace vellumark::linux_platform::gtk {

// The primary monitor (the first when none is marked primary); null when
// there is no display or monitor.
GdkMonitor* primaryMonitor(GdkDisplay* display);
// The primary monitor's geometry, or an empty rectangle at 0, 0.
GdkRectangle primaryGeometry(GdkDisplay* display);

platform::Rect toPlatformRect(const GdkRectangle& rect, const GdkRectangle& primary);
GdkRectangle fromPlatformRect(const platform::Rect& rect, const GdkRectangle& primary);
platform::Point toPlatformPoint(double x, double y, const GdkRectangle& primary);

class GdkScreens : public platform::Screens {
 public:
  GdkScreens();
  ~GdkScreens() override;
  GdkScreens(const GdkScreens&) = delete;
  GdkScreens& operator=(const GdkScreens&) = delete;

  std::vector<platform::ScreenInfo> screens() const override;
  size_t screenCount() const override;
  std::optional<platform::ScreenInfo> mainScreen() const override;
  platform::Point mouseLocation() const override;
  std::shared_ptr<void> observeScreenParameters(Observer observer) override;

 private:
  struct Observers;
  static void onMonitorsChanged(gpointer data);
  static gboolean onIdleNotify(gpointer data);
  void connect();
  void disconnect();

  std::shared_ptr<Observers> observers_;
  std::vector<SignalConnection> signals_;
  SourceId pending_;
};

}  // namespace vellumark::linux_platform::gtk
