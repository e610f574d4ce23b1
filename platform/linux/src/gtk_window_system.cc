// The application's windows, activation and dock tile on GTK.
#include <gtk/gtk.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gdk_screens_linux.h"
#include "gtk_ui_view.h"
#include "gtk_window_control.h"
#include "launcher_entry_tile.h"
#include "platform_linux/gtk_window_services.h"

namespace vellumark::linux_platform {

namespace gtk {
namespace {

constexpr char kQuitAction[] = "quit";

class GtkWindowSystem : public platform::WindowSystem {
 public:
  explicit GtkWindowSystem(std::string desktopId) : tile_(std::move(desktopId)) {}

  std::shared_ptr<platform::WindowControl> windowForView(platform::View& view) override {
    auto* uiView = dynamic_cast<GtkUiView*>(&view);
    if (uiView == nullptr) return nullptr;
    GtkWidget* toplevel = gtk_widget_get_toplevel(uiView->widget());
    if (toplevel == nullptr || !GTK_IS_WINDOW(toplevel) || !gtk_widget_is_toplevel(toplevel)) {
      return nullptr;
    }
    GtkWindow* window = GTK_WINDOW(toplevel);
    for (const auto& control : windows_) {
      if (control->gtkWindow() == window) return control;
    }
    auto control = std::make_shared<GtkWindowControl>(window);
    if (policy_ == platform::ActivationPolicy::kAccessory) control->setSkipTaskbar(true);
    windows_.push_back(control);
    return control;
  }

  // As the application's quit command, so the host shuts down its usual way.
  void terminate() override {
    GApplication* app = g_application_get_default();
    if (app == nullptr) return;
    if (g_action_group_has_action(G_ACTION_GROUP(app), kQuitAction)) {
      g_action_group_activate_action(G_ACTION_GROUP(app), kQuitAction, nullptr);
    } else {
      g_application_quit(app);
    }
  }

  // X11 has no application activation: the application's shown windows are
  // raised and focused.
  void activate(bool /*ignoringOtherApps*/) override {
    for (const auto& control : windows_) {
      GtkWindow* window = control->gtkWindow();
      if (window != nullptr && gtk_widget_get_visible(GTK_WIDGET(window))) {
        gtk_window_present(window);
      }
    }
  }

  platform::ActivationPolicy activationPolicy() const override { return policy_; }

  // Accessory: out of the taskbar and the pager, as out of the dock.
  void setActivationPolicy(platform::ActivationPolicy policy) override {
    policy_ = policy;
    for (const auto& control : windows_) {
      control->setSkipTaskbar(policy == platform::ActivationPolicy::kAccessory);
    }
  }

  platform::DockTile& dockTile() override { return tile_; }

 private:
  std::vector<std::shared_ptr<GtkWindowControl>> windows_;
  platform::ActivationPolicy policy_ = platform::ActivationPolicy::kRegular;
  LauncherEntryTile tile_;
};

}  // namespace
}  // namespace gtk

std::shared_ptr<platform::WindowSystem> makeGtkWindowSystem(std::string desktopId) {
  return std::make_shared<gtk::GtkWindowSystem>(std::move(desktopId));
}

std::shared_ptr<platform::Screens> makeGdkScreens() { return std::make_shared<gtk::GdkScreens>(); }

}  // namespace vellumark::linux_platform
