// The dock tile on Linux: the badge and the progress bar go out as the
// launcher-entry signal that docks and panels read
// (com.canonical.Unity.LauncherEntry.Update on the session bus). The bus is
// reached on the first change, never at start-up. Main-thread only.
#pragma once

#include <gio/gio.h>

#include <optional>
#include <string>

#include "gtk_object.h"
#include "platform/window_control.h"

namespace vellumark::linux_platform::gtk {

// The properties of an Update signal for this tile state: "count" and
// "count-visible" for a badge that is a whole number (other labels cannot be
// shown by the protocol and hide the count), "progress" and
// "progress-visible" for the bar (an indeterminate bar shows full). A
// floating a{sv} GVariant.
GVariant* launcherEntryProperties(const std::string& badgeLabel,
                                  const std::optional<platform::DockProgress>& progress);

class LauncherEntryTile : public platform::DockTile {
 public:
  // `desktopId`: the application's desktop file name ("vellumark.desktop").
  explicit LauncherEntryTile(std::string desktopId);
  ~LauncherEntryTile() override;
  LauncherEntryTile(const LauncherEntryTile&) = delete;
  LauncherEntryTile& operator=(const LauncherEntryTile&) = delete;

  std::string badgeLabel() const override { return label_; }
  void setBadgeLabel(const std::string& label) override;
  platform::DockProgress* progressBar() override { return bar_ ? &*bar_ : nullptr; }
  platform::DockProgress& installProgressBar() override;
  void display() override;

  const std::string& appUri() const { return appUri_; }
  const std::string& objectPath() const { return objectPath_; }

 private:
  static void onBus(GObject* source, GAsyncResult* result, gpointer data);
  void emit();

  std::string appUri_;
  std::string objectPath_;
  std::string label_;
  std::optional<platform::DockProgress> bar_;
  GObjectPtr<GDBusConnection> bus_;
  GObjectPtr<GCancellable> connecting_;
  bool dirty_ = false;
};

}  // namespace vellumark::linux_platform::gtk
