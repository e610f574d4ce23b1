#include "gtk_ui_view.h"

#include "gtk_shell_view.h"

namespace vellumark::linux_platform::gtk {
namespace {

constexpr char kWidgetName[] = "FlutterView";

}  // namespace

GtkUiView::GtkUiView() {
  widget_ = retain(gtk_overlay_new());
  gtk_widget_set_name(widget_.get(), kWidgetName);
  surface_ = retain(gtk_drawing_area_new());
  gtk_widget_set_hexpand(surface_.get(), TRUE);
  gtk_widget_set_vexpand(surface_.get(), TRUE);
  gtk_container_add(GTK_CONTAINER(widget_.get()), surface_.get());
}

GtkUiView::~GtkUiView() {
  dropTarget_.reset();
  // Subviews first: each leaves the overlay while it is still whole.
  subviews_.clear();
  GtkWidget* parent = gtk_widget_get_parent(widget_.get());
  if (parent != nullptr) gtk_container_remove(GTK_CONTAINER(parent), widget_.get());
}

platform::Rect GtkUiView::bounds() const {
  if (gtk_widget_get_realized(widget_.get())) {
    GtkAllocation allocation{};
    gtk_widget_get_allocation(widget_.get(), &allocation);
    return {0, 0, static_cast<double>(allocation.width), static_cast<double>(allocation.height)};
  }
  // Not laid out yet: the size the window will give it.
  GtkWidget* toplevel = gtk_widget_get_toplevel(widget_.get());
  if (GTK_IS_WINDOW(toplevel)) {
    int width = 0;
    int height = 0;
    gtk_window_get_default_size(GTK_WINDOW(toplevel), &width, &height);
    if (width > 0 && height > 0) {
      return {0, 0, static_cast<double>(width), static_cast<double>(height)};
    }
  }
  return {0, 0, 0, 0};
}

bool GtkUiView::registerForDraggedTypes(
    const std::vector<std::string>& types,
    std::shared_ptr<platform::DraggingDestination> destination) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(widget_.get());
  if (toplevel == widget_.get() || !GTK_IS_WINDOW(toplevel) || !destination) return false;
  dropTarget_.reset();
  dropTarget_ = std::make_unique<GtkDropTarget>(widget_.get(), types, std::move(destination));
  return true;
}

void GtkUiView::addSubview(std::shared_ptr<platform::ShellView> subview) {
  GtkShellView::addOverlay(widget_.get(), subviews_, std::move(subview));
}

}  // namespace vellumark::linux_platform::gtk
