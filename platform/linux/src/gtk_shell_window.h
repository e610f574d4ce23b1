// A top-level GtkWindow as the app's window. Main-thread only.
#pragma once

#include <string>

#include "gtk_object.h"
#include "platform/app_shell.h"

namespace vellumark::linux_platform::gtk {

// The CSS that paints a widget's background `color`; numbers are written
// the same in every locale.
std::string backgroundCss(platform::Color color);

class GtkShellWindow : public platform::Window {
 public:
  // Keeps a reference to `window`; destroying the GTK window stays its
  // owner's business.
  explicit GtkShellWindow(GtkWindow* window);

  GtkWindow* gtkWindow() const { return window_.get(); }
  // The provider of the background colour, once one was set.
  GtkCssProvider* cssProvider() const { return css_.get(); }

  platform::Rect frame() const override;
  void setFrame(platform::Rect frame, bool display) override;
  void setContentView(platform::UiView& view) override;
  void setBackgroundColor(platform::Color color) override;
  void setOpaque(bool opaque) override;
  std::string nativeHandle() const override;

 private:
  GObjectPtr<GtkWindow> window_;
  GObjectPtr<GtkCssProvider> css_;
  bool opaque_ = false;
};

}  // namespace vellumark::linux_platform::gtk
