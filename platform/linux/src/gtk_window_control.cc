#include "gtk_window_control.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <utility>

#include "gdk_screens_linux.h"
#include "gtk_shell_window.h"

namespace vellumark::linux_platform::gtk {

namespace {

namespace style = platform::window_style;

constexpr char kThemeVariantDark[] = "dark";
constexpr char kThemeVariantLight[] = "light";

// Delegates are program code: nothing they throw may cross GTK.
template <typename F>
void safely(F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    logShell(std::string("window delegate: ") + e.what());
  } catch (...) {
    logShell("window delegate: unknown exception");
  }
}

int clampToInt(double v) {
  if (!(v > 0)) return 0;
  if (v >= static_cast<double>(INT_MAX / 2)) return INT_MAX / 2;
  return static_cast<int>(std::lround(v));
}

bool sameSize(const GdkRectangle& a, const GdkRectangle& b) {
  return a.width == b.width && a.height == b.height;
}

}  // namespace

GtkWindowControl::GtkWindowControl(GtkWindow* window)
    : window_(GTK_WINDOW(g_object_ref(window))),
      style_((gtk_window_get_decorated(window) ? style::kTitled : 0) |
             (gtk_window_get_deletable(window) ? style::kClosable : 0) | style::kMiniaturizable |
             (gtk_window_get_resizable(window) ? style::kResizable : 0)) {
  GtkWidget* widget = GTK_WIDGET(window);
  gtk_widget_add_events(widget,
                        GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_STRUCTURE_MASK);
  signals_.emplace_back(window, "delete-event", G_CALLBACK(&GtkWindowControl::onDelete), this);
  signals_.emplace_back(window, "configure-event", G_CALLBACK(&GtkWindowControl::onConfigure),
                        this);
  signals_.emplace_back(window, "window-state-event", G_CALLBACK(&GtkWindowControl::onWindowState),
                        this);
  signals_.emplace_back(window, "notify::is-active", G_CALLBACK(&GtkWindowControl::onActive), this);
  signals_.emplace_back(window, "button-press-event", G_CALLBACK(&GtkWindowControl::onButton),
                        this);
  signals_.emplace_back(window, "button-release-event", G_CALLBACK(&GtkWindowControl::onButton),
                        this);
  signals_.emplace_back(window, "realize", G_CALLBACK(&GtkWindowControl::onRealize), this);
  signals_.emplace_back(window, "destroy", G_CALLBACK(&GtkWindowControl::onDestroy), this);
  if (GdkWindow* gdk = gdkWindow()) {
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gdk, &x, &y);
    lastConfigure_ = GdkRectangle{x, y, gdk_window_get_width(gdk), gdk_window_get_height(gdk)};
  }
}

GtkWindowControl::~GtkWindowControl() {
  signals_.clear();
  liveResize_.remove();
  if (css_ && !destroyed_) {
    gtk_style_context_remove_provider(gtk_widget_get_style_context(GTK_WIDGET(window_.get())),
                                      GTK_STYLE_PROVIDER(css_.get()));
  }
}

void GtkWindowControl::setDelegate(std::weak_ptr<platform::WindowDelegate> delegate) {
  delegate_ = std::move(delegate);
}

GdkWindow* GtkWindowControl::gdkWindow() const {
  if (destroyed_ || !gtk_widget_get_realized(GTK_WIDGET(window_.get()))) return nullptr;
  return gtk_widget_get_window(GTK_WIDGET(window_.get()));
}

void GtkWindowControl::setSkipTaskbar(bool skip) {
  if (destroyed_) return;
  gtk_window_set_skip_taskbar_hint(window_.get(), skip);
  gtk_window_set_skip_pager_hint(window_.get(), skip);
}

int64_t GtkWindowControl::windowNumber() const {
  GdkWindow* gdk = gdkWindow();
  if (gdk == nullptr || !GDK_IS_X11_WINDOW(gdk)) return 0;
  return static_cast<int64_t>(gdk_x11_window_get_xid(gdk));
}

// --- Geometry -----------------------------------------------------------------

GtkWindowControl::Decorations GtkWindowControl::decorations() const {
  Decorations d;
  GdkWindow* gdk = gdkWindow();
  if (gdk == nullptr) return d;
  GdkRectangle outer{};
  gdk_window_get_frame_extents(gdk, &outer);
  int x = 0;
  int y = 0;
  gdk_window_get_origin(gdk, &x, &y);
  const int width = gdk_window_get_width(gdk);
  const int height = gdk_window_get_height(gdk);
  d.left = std::max(0, x - outer.x);
  d.top = std::max(0, y - outer.y);
  d.right = std::max(0, outer.x + outer.width - (x + width));
  d.bottom = std::max(0, outer.y + outer.height - (y + height));
  return d;
}

platform::Rect GtkWindowControl::frame() const {
  GdkRectangle rect{};
  if (GdkWindow* gdk = gdkWindow()) {
    gdk_window_get_frame_extents(gdk, &rect);
  } else if (!destroyed_) {
    gtk_window_get_position(window_.get(), &rect.x, &rect.y);
    gtk_window_get_size(window_.get(), &rect.width, &rect.height);
  }
  return toPlatformRect(rect, primaryGeometry(gdk_display_get_default()));
}

void GtkWindowControl::setFrame(platform::Rect frame, bool display, bool /*animate*/) {
  if (destroyed_) return;
  const Decorations d = decorations();
  const GdkRectangle target = fromPlatformRect(frame, primaryGeometry(gdk_display_get_default()));
  const int width = std::max(1, target.width - d.left - d.right);
  const int height = std::max(1, target.height - d.top - d.bottom);
  if (fixedSize_) {
    fixedSize_ = platform::Size{frame.width, frame.height};
    applyHints();
  }
  gtk_window_resize(window_.get(), width, height);
  // North-west gravity: the position is the frame's top-left corner.
  gtk_window_move(window_.get(), target.x, target.y);
  if (display) gtk_widget_queue_draw(GTK_WIDGET(window_.get()));
}

platform::Rect GtkWindowControl::contentRectForFrameRect(platform::Rect frame) const {
  const Decorations d = decorations();
  return {frame.x + d.left, frame.y + d.bottom, frame.width - d.left - d.right,
          frame.height - d.top - d.bottom};
}

void GtkWindowControl::setMinSize(platform::Size size) {
  minSize_ = size;
  applyHints();
}

void GtkWindowControl::setMaxSize(platform::Size size) {
  maxSize_ = size;
  applyHints();
}

void GtkWindowControl::setResizeIncrements(platform::Size increments) {
  increments_ = increments;
  applyHints();
}

void GtkWindowControl::setAspectRatio(platform::Size ratio) {
  aspect_ = ratio;
  applyHints();
}

void GtkWindowControl::setContentAspectRatio(platform::Size ratio) {
  contentAspect_ = ratio;
  applyHints();
}

// Sizes are frames here and client areas to X11: the decorations come off.
void GtkWindowControl::applyHints() {
  if (destroyed_) return;
  const Decorations d = decorations();
  const double dw = d.left + d.right;
  const double dh = d.top + d.bottom;
  GdkGeometry geometry{};
  int mask = 0;
  if (fixedSize_) {
    geometry.min_width = geometry.max_width = std::max(1, clampToInt(fixedSize_->width - dw));
    geometry.min_height = geometry.max_height = std::max(1, clampToInt(fixedSize_->height - dh));
    mask |= GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE;
  } else {
    if (minSize_.width > 0 || minSize_.height > 0) {
      geometry.min_width = clampToInt(minSize_.width - dw);
      geometry.min_height = clampToInt(minSize_.height - dh);
      mask |= GDK_HINT_MIN_SIZE;
    }
    if (maxSize_.width > 0 && maxSize_.height > 0) {
      geometry.max_width = std::max(1, clampToInt(maxSize_.width - dw));
      geometry.max_height = std::max(1, clampToInt(maxSize_.height - dh));
      mask |= GDK_HINT_MAX_SIZE;
    }
  }
  if (increments_.width >= 1 && increments_.height >= 1) {
    geometry.width_inc = clampToInt(increments_.width);
    geometry.height_inc = clampToInt(increments_.height);
    mask |= GDK_HINT_RESIZE_INC;
  }
  // X11 knows only the client's ratio; a frame ratio is taken as one.
  const platform::Size& ratio = contentAspect_.width > 0 ? contentAspect_ : aspect_;
  if (ratio.width > 0 && ratio.height > 0) {
    geometry.min_aspect = geometry.max_aspect = ratio.width / ratio.height;
    mask |= GDK_HINT_ASPECT;
  }
  gtk_window_set_geometry_hints(window_.get(), nullptr, &geometry,
                                static_cast<GdkWindowHints>(mask));
}

// --- Style ---------------------------------------------------------------------

uint64_t GtkWindowControl::styleMask() const {
  GdkWindow* gdk = gdkWindow();
  const bool full = gdk != nullptr && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_FULLSCREEN);
  return style_ | (full ? style::kFullScreen : 0);
}

void GtkWindowControl::setStyleMask(uint64_t mask) {
  mask &= ~style::kFullScreen;  // full screen is entered, not set
  const uint64_t changed = mask ^ style_;
  style_ = mask;
  if (changed & style::kResizable) {
    if (mask & style::kResizable) {
      fixedSize_.reset();
    } else {
      const platform::Rect current = frame();
      fixedSize_ = platform::Size{current.width, current.height};
    }
    applyHints();
  }
  if (changed & (style::kTitled | style::kFullSizeContentView)) applyDecorated();
  applyFunctions();
}

// The title bar is the window manager's: with it hidden the window is
// undecorated.
void GtkWindowControl::applyDecorated() {
  if (destroyed_) return;
  const bool decorated = (style_ & style::kTitled) != 0 && !titlebarHidden_ &&
                         !((style_ & style::kFullSizeContentView) != 0 && titlebarTransparent_);
  if (static_cast<bool>(gtk_window_get_decorated(window_.get())) != decorated) {
    gtk_window_set_decorated(window_.get(), decorated);
  }
}

// What the window manager offers (and which buttons it draws).
void GtkWindowControl::applyFunctions() {
  GdkWindow* gdk = gdkWindow();
  if (gdk == nullptr) return;
  int removed = 0;
  if (!(style_ & style::kClosable) || buttonsHidden_[0]) removed |= GDK_FUNC_CLOSE;
  if (!(style_ & style::kMiniaturizable) || buttonsHidden_[1]) removed |= GDK_FUNC_MINIMIZE;
  if (!(style_ & style::kResizable)) removed |= GDK_FUNC_RESIZE | GDK_FUNC_MAXIMIZE;
  if (buttonsHidden_[2]) removed |= GDK_FUNC_MAXIMIZE;
  if (!movable_) removed |= GDK_FUNC_MOVE;
  gdk_window_set_functions(gdk, static_cast<GdkWMFunction>(GDK_FUNC_ALL | removed));
}

void GtkWindowControl::setLevel(int level) {
  level_ = level;
  if (!destroyed_)
    gtk_window_set_keep_above(window_.get(), level > platform::window_level::kNormal);
}

void GtkWindowControl::setCollectionBehavior(uint64_t behavior) {
  const uint64_t changed = behavior ^ behavior_;
  behavior_ = behavior;
  if (destroyed_ || !(changed & platform::collection_behavior::kCanJoinAllSpaces)) return;
  if (behavior & platform::collection_behavior::kCanJoinAllSpaces) {
    gtk_window_stick(window_.get());
  } else {
    gtk_window_unstick(window_.get());
  }
}

void GtkWindowControl::setMovable(bool movable) {
  movable_ = movable;
  applyFunctions();
}

void GtkWindowControl::setTitleVisibility(platform::TitleVisibility visibility) {
  titleVisibility_ = visibility;
}

void GtkWindowControl::setTitlebarAppearsTransparent(bool transparent) {
  titlebarTransparent_ = transparent;
  applyDecorated();
}

void GtkWindowControl::setTitlebarContainerHidden(bool hidden) {
  titlebarHidden_ = hidden;
  applyDecorated();
}

bool GtkWindowControl::isButtonHidden(platform::WindowButton button) const {
  return buttonsHidden_.at(static_cast<size_t>(button));
}

void GtkWindowControl::setButtonHidden(platform::WindowButton button, bool hidden) {
  buttonsHidden_.at(static_cast<size_t>(button)) = hidden;
  applyFunctions();
}

std::string GtkWindowControl::title() const {
  const char* title = destroyed_ ? nullptr : gtk_window_get_title(window_.get());
  return title != nullptr ? title : "";
}

void GtkWindowControl::setTitle(const std::string& title) {
  if (!destroyed_) gtk_window_set_title(window_.get(), title.c_str());
}

void GtkWindowControl::setBackgroundColor(platform::Color color) {
  if (destroyed_) return;
  if (!css_) {
    css_ = adopt(gtk_css_provider_new());
    // Above the shell's own background.
    gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(window_.get())),
                                   GTK_STYLE_PROVIDER(css_.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
  }
  GError* raw = nullptr;
  gtk_css_provider_load_from_data(css_.get(), backgroundCss(color).c_str(), -1, &raw);
  GErrorPtr error(raw);
  if (error) logShell(describe("gtk_css_provider_load_from_data", error.get()));
}

double GtkWindowControl::alphaValue() const {
  if (destroyed_) return 1.0;
  return alpha_.value_or(gtk_widget_get_opacity(GTK_WIDGET(window_.get())));
}

// On X11 a top-level's opacity is _NET_WM_WINDOW_OPACITY, shown by compositors.
void GtkWindowControl::setAlphaValue(double alpha) {
  if (destroyed_ || std::isnan(alpha)) return;
  alpha_ = std::clamp(alpha, 0.0, 1.0);
  gtk_widget_set_opacity(GTK_WIDGET(window_.get()), *alpha_);
}

void GtkWindowControl::setAppearance(platform::Appearance appearance) {
  GdkWindow* gdk = gdkWindow();
  if (gdk == nullptr || !GDK_IS_X11_WINDOW(gdk)) return;
  // GDK takes the variant name as a non-const string but only reads it.
  std::string variant =
      appearance == platform::Appearance::kVibrantDark ? kThemeVariantDark : kThemeVariantLight;
  gdk_x11_window_set_theme_variant(gdk, variant.data());
}

void GtkWindowControl::setIgnoresMouseEvents(bool ignore) {
  ignoresMouse_ = ignore;
  if (destroyed_) return;
  if (ignore) {
    cairo_region_t* none = cairo_region_create();
    gtk_widget_input_shape_combine_region(GTK_WIDGET(window_.get()), none);
    cairo_region_destroy(none);
  } else {
    gtk_widget_input_shape_combine_region(GTK_WIDGET(window_.get()), nullptr);
  }
}

// --- States and ordering --------------------------------------------------------

bool GtkWindowControl::isZoomed() const {
  GdkWindow* gdk = gdkWindow();
  return gdk != nullptr && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_MAXIMIZED) != 0;
}

void GtkWindowControl::zoom() {
  if (destroyed_) return;
  bool allowed = true;
  if (auto d = delegate()) safely([&] { allowed = d->windowShouldZoom(); });
  if (!allowed || destroyed_) return;
  zoomRequested_ = true;
  if (isZoomed()) {
    gtk_window_unmaximize(window_.get());
  } else {
    gtk_window_maximize(window_.get());
  }
}

bool GtkWindowControl::isMiniaturized() const {
  GdkWindow* gdk = gdkWindow();
  return gdk != nullptr && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_ICONIFIED) != 0;
}

void GtkWindowControl::miniaturize() {
  if (!destroyed_) gtk_window_iconify(window_.get());
}

void GtkWindowControl::deminiaturize() {
  if (!destroyed_) gtk_window_deiconify(window_.get());
}

void GtkWindowControl::toggleFullScreen() {
  if (destroyed_) return;
  if (styleMask() & style::kFullScreen) {
    gtk_window_unfullscreen(window_.get());
  } else {
    gtk_window_fullscreen(window_.get());
  }
}

bool GtkWindowControl::isKeyWindow() const {
  return !destroyed_ && gtk_window_is_active(window_.get());
}

void GtkWindowControl::makeKeyAndOrderFront() {
  if (!destroyed_) gtk_window_present(window_.get());
}

void GtkWindowControl::orderBack() {
  if (GdkWindow* gdk = gdkWindow()) gdk_window_lower(gdk);
}

void GtkWindowControl::orderOut() {
  if (!destroyed_) gtk_widget_hide(GTK_WIDGET(window_.get()));
}

bool GtkWindowControl::isVisible() const {
  return !destroyed_ && gtk_widget_get_visible(GTK_WIDGET(window_.get())) && !isMiniaturized();
}

void GtkWindowControl::setIsVisible(bool visible) {
  if (destroyed_) return;
  if (visible) {
    gtk_widget_show(GTK_WIDGET(window_.get()));
  } else {
    gtk_widget_hide(GTK_WIDGET(window_.get()));
  }
}

// As the close button: the delete event asks the delegate. A window without
// a close button is not closed.
void GtkWindowControl::performClose() {
  if (destroyed_ || !(style_ & style::kClosable)) return;
  gtk_window_close(window_.get());
}

void GtkWindowControl::performWindowDragWithCurrentEvent() {
  if (destroyed_ || !press_) return;
  gtk_window_begin_move_drag(window_.get(), press_->button, press_->xRoot, press_->yRoot,
                             press_->time);
}

// --- GTK signals ------------------------------------------------------------------

gboolean GtkWindowControl::onDelete(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  bool close = true;
  if (auto d = self->delegate()) safely([&] { close = d->windowShouldClose(); });
  return close ? FALSE : TRUE;
}

gboolean GtkWindowControl::onConfigure(GtkWidget* /*widget*/, GdkEventConfigure* event,
                                       gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  const GdkRectangle now{event->x, event->y, event->width, event->height};
  const std::optional<GdkRectangle> before = std::exchange(self->lastConfigure_, now);
  if (!before) return FALSE;
  const bool moved = before->x != now.x || before->y != now.y;
  const bool resized = !sameSize(*before, now);
  auto d = self->delegate();
  if (moved && d) {
    safely([&] {
      d->windowWillMove();
      d->windowDidMove();
    });
  }
  if (resized) {
    if (d) safely([&] { d->windowDidResize(); });
    // The last change of a live resize: none followed for a while.
    self->liveResize_ =
        SourceId(g_timeout_add(kLiveResizeQuietMs, &GtkWindowControl::onLiveResizeQuiet, self));
  }
  return FALSE;
}

gboolean GtkWindowControl::onLiveResizeQuiet(gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  self->liveResize_.finished();
  if (auto d = self->delegate()) safely([&] { d->windowDidEndLiveResize(); });
  return G_SOURCE_REMOVE;
}

gboolean GtkWindowControl::onWindowState(GtkWidget* /*widget*/, GdkEventWindowState* event,
                                         gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  const GdkWindowState changed = event->changed_mask;
  const GdkWindowState now = event->new_window_state;
  auto d = self->delegate();
  if (changed & GDK_WINDOW_STATE_MAXIMIZED) {
    const bool requested = std::exchange(self->zoomRequested_, false);
    // A zoom from the window manager's own controls: asked about afterwards,
    // and undone when refused.
    if ((now & GDK_WINDOW_STATE_MAXIMIZED) && !requested && d) {
      bool allowed = true;
      safely([&] { allowed = d->windowShouldZoom(); });
      if (!allowed) {
        self->zoomRequested_ = true;
        gtk_window_unmaximize(self->window_.get());
        return FALSE;
      }
    }
    // A zoom changes the size; its configure event may come before the
    // state, so the state change counts as a resize too.
    if (d) safely([&] { d->windowDidResize(); });
  }
  if (d && (changed & GDK_WINDOW_STATE_ICONIFIED)) {
    safely([&] {
      if (now & GDK_WINDOW_STATE_ICONIFIED) {
        d->windowDidMiniaturize();
      } else {
        d->windowDidDeminiaturize();
      }
    });
  }
  if (d && (changed & GDK_WINDOW_STATE_FULLSCREEN)) {
    safely([&] {
      if (now & GDK_WINDOW_STATE_FULLSCREEN) {
        d->windowDidEnterFullScreen();
      } else {
        d->windowDidExitFullScreen();
      }
    });
  }
  return FALSE;
}

void GtkWindowControl::onActive(GObject* /*object*/, GParamSpec* /*property*/, gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  auto d = self->delegate();
  if (!d || self->destroyed_) return;
  const bool active = gtk_window_is_active(self->window_.get());
  safely([&] {
    if (active) {
      d->windowDidBecomeKey();
      d->windowDidBecomeMain();
    } else {
      d->windowDidResignKey();
      d->windowDidResignMain();
    }
  });
}

gboolean GtkWindowControl::onButton(GtkWidget* /*widget*/, GdkEventButton* event, gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  if (event->type == GDK_BUTTON_PRESS) {
    self->press_ = Press{static_cast<int>(event->button), static_cast<int>(event->x_root),
                         static_cast<int>(event->y_root), event->time};
  } else if (event->type == GDK_BUTTON_RELEASE) {
    self->press_.reset();
  }
  return FALSE;
}

void GtkWindowControl::onRealize(GtkWidget* /*widget*/, gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  self->applyFunctions();
}

void GtkWindowControl::onDestroy(GtkWidget* /*widget*/, gpointer data) {
  auto* self = static_cast<GtkWindowControl*>(data);
  self->destroyed_ = true;
  self->liveResize_.remove();
  self->press_.reset();
}

}  // namespace vellumark::linux_platform::gtk
