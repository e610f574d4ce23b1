#include "gtk_shell_view.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vellumark::linux_platform::gtk {
namespace {

// About one animation step per frame at 60 Hz.
constexpr guint kAnimationStepMs = 16;

// Places `widget` in an overlay the way its autoresizing mask would keep it:
// sizable axes fill, axes with both margins flexible stay centred, the rest
// keep their distance to the fixed edge.
void applyLayout(GtkWidget* widget, const platform::Rect& frame, unsigned mask) {
  using namespace platform::autoresizing;
  const int width = static_cast<int>(std::lround(frame.width));
  const int height = static_cast<int>(std::lround(frame.height));
  int requestWidth = -1;
  int requestHeight = -1;
  gtk_widget_set_margin_start(widget, 0);
  gtk_widget_set_margin_bottom(widget, 0);

  if ((mask & kWidthSizable) != 0) {
    gtk_widget_set_halign(widget, GTK_ALIGN_FILL);
  } else if ((mask & kMinXMargin) != 0 && (mask & kMaxXMargin) != 0) {
    gtk_widget_set_halign(widget, GTK_ALIGN_CENTER);
    requestWidth = width;
  } else if ((mask & kMinXMargin) != 0) {
    gtk_widget_set_halign(widget, GTK_ALIGN_END);
    requestWidth = width;
  } else {
    gtk_widget_set_halign(widget, GTK_ALIGN_START);
    gtk_widget_set_margin_start(widget, static_cast<int>(std::lround(frame.x)));
    requestWidth = width;
  }

  // Frames count y from the bottom; GTK aligns from the top.
  if ((mask & kHeightSizable) != 0) {
    gtk_widget_set_valign(widget, GTK_ALIGN_FILL);
  } else if ((mask & kMinYMargin) != 0 && (mask & kMaxYMargin) != 0) {
    gtk_widget_set_valign(widget, GTK_ALIGN_CENTER);
    requestHeight = height;
  } else if ((mask & kMinYMargin) != 0) {
    gtk_widget_set_valign(widget, GTK_ALIGN_START);
    requestHeight = height;
  } else {
    gtk_widget_set_valign(widget, GTK_ALIGN_END);
    gtk_widget_set_margin_bottom(widget, static_cast<int>(std::lround(frame.y)));
    requestHeight = height;
  }
  gtk_widget_set_size_request(widget, requestWidth, requestHeight);
}

}  // namespace

GtkShellView::GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame)
    : queue_(std::move(queue)), frame_(frame) {
  widget_ = retain(gtk_overlay_new());
  fill_ = retain(gtk_drawing_area_new());
  drawHandler_ = SignalConnection(fill_.get(), "draw", G_CALLBACK(&GtkShellView::onDraw), this);
  gtk_container_add(GTK_CONTAINER(widget_.get()), fill_.get());
  applyLayout(widget_.get(), frame_, mask_);
}

GtkShellView::GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame,
                           GdkPixbuf* pixbuf)
    : queue_(std::move(queue)), frame_(frame) {
  widget_ = retain(gtk_drawing_area_new());
  image_ = GObjectPtr<GdkPixbuf>(GDK_PIXBUF(g_object_ref(pixbuf)));
  drawHandler_ = SignalConnection(widget_.get(), "draw", G_CALLBACK(&GtkShellView::onDraw), this);
  applyLayout(widget_.get(), frame_, mask_);
}

GtkShellView::~GtkShellView() {
  animation_.source.remove();
  drawHandler_.disconnect();
  removeFromSuperview();
}

void GtkShellView::setAutoresizingMask(unsigned mask) {
  mask_ = mask;
  applyLayout(widget_.get(), frame_, mask_);
}

void GtkShellView::setBackgroundColor(platform::Color color) {
  background_ = color;
  hasBackground_ = true;
  if (fill_) gtk_widget_queue_draw(fill_.get());
}

void GtkShellView::addSubview(std::shared_ptr<platform::ShellView> subview) {
  if (!fill_) return;  // image views hold no subviews
  addOverlay(widget_.get(), subviews_, std::move(subview));
}

bool GtkShellView::addOverlay(GtkWidget* overlay,
                              std::vector<std::shared_ptr<platform::ShellView>>& kept,
                              std::shared_ptr<platform::ShellView> subview) {
  auto* view = dynamic_cast<GtkShellView*>(subview.get());
  if (view == nullptr) return false;
  std::erase_if(kept, [overlay](const std::shared_ptr<platform::ShellView>& v) {
    return gtk_widget_get_parent(static_cast<GtkShellView*>(v.get())->widget()) != overlay;
  });
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), view->widget());
  gtk_widget_show_all(view->widget());
  kept.push_back(std::move(subview));
  return true;
}

double GtkShellView::alphaValue() const { return gtk_widget_get_opacity(widget_.get()); }

void GtkShellView::setAlphaValue(double alpha) { gtk_widget_set_opacity(widget_.get(), alpha); }

void GtkShellView::animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                                     std::function<void()> completion) {
  animation_.source.remove();
  animation_.from = alphaValue();
  animation_.to = alpha;
  animation_.start = g_get_monotonic_time();
  animation_.duration = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  animation_.completion = std::move(completion);
  animation_.source =
      SourceId(g_timeout_add(kAnimationStepMs, &GtkShellView::onAnimationStep, this));
}

void GtkShellView::removeFromSuperview() {
  GtkWidget* parent = gtk_widget_get_parent(widget_.get());
  if (parent != nullptr) gtk_container_remove(GTK_CONTAINER(parent), widget_.get());
}

gboolean GtkShellView::onAnimationStep(gpointer data) {
  auto* self = static_cast<GtkShellView*>(data);
  Animation& a = self->animation_;
  const gint64 elapsed = g_get_monotonic_time() - a.start;
  const double progress =
      a.duration <= 0
          ? 1.0
          : std::min(1.0, static_cast<double>(elapsed) / static_cast<double>(a.duration));
  gtk_widget_set_opacity(self->widget_.get(), a.from + (a.to - a.from) * progress);
  if (progress < 1.0) return G_SOURCE_CONTINUE;
  a.source.finished();
  if (a.completion) self->queue_->post(std::exchange(a.completion, nullptr));
  return G_SOURCE_REMOVE;
}

gboolean GtkShellView::onDraw(GtkWidget* widget, cairo_t* cr, gpointer data) {
  auto* self = static_cast<GtkShellView*>(data);
  if (self->hasBackground_) {
    const platform::Color& c = self->background_;
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_paint(cr);
  }
  if (self->image_) {
    // Image pixels count as points, as with a GtkImage made from a pixbuf.
    if (!self->imageSurface_) {
      self->imageSurface_.reset(gdk_cairo_surface_create_from_pixbuf(
          self->image_.get(), 1, gtk_widget_get_window(widget)));
    }
    const int width = gdk_pixbuf_get_width(self->image_.get());
    const int height = gdk_pixbuf_get_height(self->image_.get());
    cairo_set_source_surface(cr, self->imageSurface_.get(),
                             (gtk_widget_get_allocated_width(widget) - width) / 2,
                             (gtk_widget_get_allocated_height(widget) - height) / 2);
    cairo_paint(cr);
  }
  return FALSE;
}

}  // namespace vellumark::linux_platform::gtk
