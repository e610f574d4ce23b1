// The engine's view: a GtkOverlay whose base is the engine's drawing
// surface; with no UI drawing into it, the window's background shows
// through. Main-thread only.
#pragma once

#include <memory>
#include <vector>

#include "gtk_drop_target.h"
#include "gtk_object.h"
#include "platform/app_shell.h"

namespace vellumark::linux_platform::gtk {

class GtkUiView : public platform::UiView {
 public:
  GtkUiView();
  ~GtkUiView() override;
  GtkUiView(const GtkUiView&) = delete;
  GtkUiView& operator=(const GtkUiView&) = delete;

  GtkWidget* widget() const { return widget_.get(); }

  platform::Rect bounds() const override;
  void addSubview(std::shared_ptr<platform::ShellView> subview) override;
  bool registerForDraggedTypes(const std::vector<std::string>& types,
                               std::shared_ptr<platform::DraggingDestination> destination) override;

 private:
  GObjectPtr<GtkWidget> widget_;
  GObjectPtr<GtkWidget> surface_;
  // The whole view takes the drops, above whatever is laid over it.
  std::unique_ptr<GtkDropTarget> dropTarget_;
  // Last, so subviews leave the overlay before it goes.
  std::vector<std::shared_ptr<platform::ShellView>> subviews_;
};

}  // namespace vellumark::linux_platform::gtk
