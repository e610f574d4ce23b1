// The main menu as a platform menu: a GMenuModel from the interface
// description, its sections flattened into their menu the way separators
// split an AppKit menu. Main-thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gtk_object.h"
#include "platform/app_shell.h"

namespace vellumark::linux_platform::gtk {

// What menu items need of the application.
class MenuActions {
 public:
  virtual ~MenuActions() = default;
  // Installs (or replaces) the application action "app.`name`".
  virtual void installAction(const std::string& name, std::function<void()> action) = 0;
  virtual GtkApplication* gtkApplication() const = 0;
};

class GtkShellMenu;

class GtkShellMenuItem : public platform::MenuItem {
 public:
  GtkShellMenuItem(MenuActions& actions, GMenuModel* owner, int index);
  ~GtkShellMenuItem() override;

  std::string title() const override;
  std::string keyEquivalent() const override;
  platform::Menu* submenu() override;
  void setAction(const std::string& selector, std::function<void()> action) override;

 private:
  std::string stringAttribute(const char* name) const;

  MenuActions& actions_;
  GObjectPtr<GMenuModel> owner_;
  int index_;
  std::unique_ptr<GtkShellMenu> submenu_;
};

class GtkShellMenu : public platform::Menu {
 public:
  GtkShellMenu(MenuActions& actions, GMenuModel* model);

  size_t numberOfItems() const override { return items_.size(); }
  platform::MenuItem* itemAtIndex(size_t index) override;

  // Binds the "accel" attributes of `model`'s items to their actions: GTK
  // shows them but binds only the shortcuts it is told about.
  static void registerAccels(GtkApplication* app, GMenuModel* model);

 private:
  void collect(MenuActions& actions, GMenuModel* model);
  std::vector<std::unique_ptr<GtkShellMenuItem>> items_;
};

}  // namespace vellumark::linux_platform::gtk
