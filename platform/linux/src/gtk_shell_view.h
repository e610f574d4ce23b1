// A view the app lays over the UI view (the splash and its icon): a GtkOverlay
// over a drawing area that paints the background colour, or a drawing area
// that paints an image. Main-thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "gtk_object.h"
#include "platform/app_shell.h"
#include "platform/task_queue.h"

namespace vellumark::linux_platform::gtk {

class GtkShellView : public platform::ShellView {
 public:
  // A plain view, transparent until given a colour; subviews stack above its
  // background. Animations complete on `queue`.
  GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame);
  // An image view showing `pixbuf` centred; it holds no subviews. Painted by
  // hand rather than by a GtkImage, whose size request asks for font metrics
  // and so would load the fonts before the window can first be mapped.
  GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame, GdkPixbuf* pixbuf);
  ~GtkShellView() override;
  GtkShellView(const GtkShellView&) = delete;
  GtkShellView& operator=(const GtkShellView&) = delete;

  GtkWidget* widget() const { return widget_.get(); }
  bool animating() const { return animation_.source.active(); }

  platform::Rect frame() const override { return frame_; }
  void setAutoresizingMask(unsigned mask) override;
  void setBackgroundColor(platform::Color color) override;
  void addSubview(std::shared_ptr<platform::ShellView> subview) override;
  double alphaValue() const override;
  void setAlphaValue(double alpha) override;
  void animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                         std::function<void()> completion) override;
  void removeFromSuperview() override;

  // Adds `subview` (one of ours) as an overlay of `overlay` and keeps it in
  // `kept`, forgetting views that were removed from `overlay` since. False
  // when `subview` is not a GTK shell view.
  static bool addOverlay(GtkWidget* overlay,
                         std::vector<std::shared_ptr<platform::ShellView>>& kept,
                         std::shared_ptr<platform::ShellView> subview);

 private:
  struct Animation {
    SourceId source;
    double from = 1;
    double to = 1;
    gint64 start = 0;
    gint64 duration = 0;
    std::function<void()> completion;
  };

  static gboolean onAnimationStep(gpointer data);
  static gboolean onDraw(GtkWidget* widget, cairo_t* cr, gpointer data);

  std::shared_ptr<platform::TaskQueue> queue_;
  platform::Rect frame_;
  unsigned mask_ = platform::autoresizing::kNotSizable;
  GObjectPtr<GtkWidget> widget_;
  GObjectPtr<GtkWidget> fill_;   // the background; null in image views
  GObjectPtr<GdkPixbuf> image_;  // null in plain views
  // The image as the window draws it, made on the first draw (as GtkImage
  // does) so the fade's frames do not upload the pixels again each time.
  CairoSurfacePtr imageSurface_;
  SignalConnection drawHandler_;
  platform::Color background_;
  bool hasBackground_ = false;
  Animation animation_;
  // Last, so subviews leave this overlay before it goes.
  std::vector<std::shared_ptr<platform::ShellView>> subviews_;
};

}  // namespace vellumark::linux_platform::gtk
