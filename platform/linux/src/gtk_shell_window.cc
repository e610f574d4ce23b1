#include "gtk_shell_window.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "gtk_ui_view.h"

namespace vellumark::linux_platform::gtk {

std::string backgroundCss(platform::Color color) {
  const auto channel = [](double v) {
    return std::to_string(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  };
  return "* { background-color: rgba(" + channel(color.red) + ", " + channel(color.green) + ", " +
         channel(color.blue) + ", " + cssNumber(std::clamp(color.alpha, 0.0, 1.0)) + "); }";
}

GtkShellWindow::GtkShellWindow(GtkWindow* window) : window_(GTK_WINDOW(g_object_ref(window))) {}

platform::Rect GtkShellWindow::frame() const {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  GtkWindow* window = window_.get();
  if (gtk_widget_get_mapped(GTK_WIDGET(window))) {
    gtk_window_get_position(window, &x, &y);
    gtk_window_get_size(window, &width, &height);
  } else {
    // Not placed by the window manager yet. Asking GTK for the position or
    // size now makes it work out a placement of its own (the size request,
    // styles, the monitor under the pointer), which cost start-up about
    // 2.5 ms and is done again when the window is shown; the default size
    // is the size it is shown at. setFrame moves only mapped windows.
    gtk_window_get_default_size(window, &width, &height);
    if (width <= 0 || height <= 0) gtk_window_get_size(window, &width, &height);
  }
  return {static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
          static_cast<double>(height)};
}

void GtkShellWindow::setFrame(platform::Rect frame, bool display) {
  const int width = static_cast<int>(std::lround(frame.width));
  const int height = static_cast<int>(std::lround(frame.height));
  if (width > 0 && height > 0) gtk_window_resize(window_.get(), width, height);
  // Before mapping the window manager places the window; a move then would
  // pin it to wherever GTK reported it.
  if (gtk_widget_get_mapped(GTK_WIDGET(window_.get()))) {
    gtk_window_move(window_.get(), static_cast<int>(std::lround(frame.x)),
                    static_cast<int>(std::lround(frame.y)));
  }
  if (display) gtk_widget_queue_draw(GTK_WIDGET(window_.get()));
}

void GtkShellWindow::setContentView(platform::UiView& view) {
  auto* uiView = dynamic_cast<GtkUiView*>(&view);
  if (uiView == nullptr) return;
  GtkWidget* previous = gtk_bin_get_child(GTK_BIN(window_.get()));
  if (previous == uiView->widget()) return;
  if (previous != nullptr) gtk_container_remove(GTK_CONTAINER(window_.get()), previous);
  gtk_container_add(GTK_CONTAINER(window_.get()), uiView->widget());
}

void GtkShellWindow::setBackgroundColor(platform::Color color) {
  if (!css_) {
    css_ = adopt(gtk_css_provider_new());
    gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(window_.get())),
                                   GTK_STYLE_PROVIDER(css_.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  }
  const std::string css = backgroundCss(color);
  GError* raw = nullptr;
  gtk_css_provider_load_from_data(css_.get(), css.c_str(), -1, &raw);
  GErrorPtr error(raw);
  if (error) logShell(describe("gtk_css_provider_load_from_data", error.get()));
}

// X11 windows without an alpha visual, which GTK picks by default, are always
// opaque; a translucent window would need an RGBA visual first.
void GtkShellWindow::setOpaque(bool opaque) { opaque_ = opaque; }

std::string GtkShellWindow::nativeHandle() const {
  GtkWidget* widget = GTK_WIDGET(window_.get());
  if (!gtk_widget_get_realized(widget)) return {};
  GdkWindow* window = gtk_widget_get_window(widget);
  if (window == nullptr || !GDK_IS_X11_WINDOW(window)) return {};
  char digits[2 * sizeof(unsigned long) + 1] = {};
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits - 1,
                    static_cast<unsigned long>(gdk_x11_window_get_xid(window)), 16);
  if (ec != std::errc()) return {};
  return "0x" + std::string(digits, end);
}

}  // namespace vellumark::linux_platform::gtk
