// GTK 3 backend of the application shell.
#include "platform_linux/gtk_app_shell.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/task_queue.h"

namespace vellumark::linux_platform {
namespace {

// ---- ownership -------------------------------------------------------------

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a new reference (sinking a floating one).
template <typename T>
GObjectPtr<T> retain(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

// The one place GLib/GTK errors become readable text.
std::string describe(const char* call, const GErrorPtr& error) {
  return std::string(call) + ": " + (error ? error->message : "unknown error");
}

void logShell(const std::string& line) { std::fprintf(stderr, "vellumark: %s\n", line.c_str()); }

// ---- images and views ------------------------------------------------------

class GtkShellImage : public platform::Image {
 public:
  explicit GtkShellImage(GObjectPtr<GdkPixbuf> pixbuf) : pixbuf_(std::move(pixbuf)) {}
  GdkPixbuf* pixbuf() const { return pixbuf_.get(); }

 private:
  GObjectPtr<GdkPixbuf> pixbuf_;
};

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

// Loads a PNG with the PNG loader named up front: guessing the type by
// content would load the shared MIME database at start-up.
GObjectPtr<GdkPixbuf> loadPng(const std::string& path) {
  gchar* rawData = nullptr;
  gsize length = 0;
  GError* raw = nullptr;
  if (!g_file_get_contents(path.c_str(), &rawData, &length, &raw)) {
    logShell(describe("g_file_get_contents", GErrorPtr(raw)));
    return nullptr;
  }
  GCharPtr data(rawData);
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type("png", &raw));
  if (!loader) {
    logShell(describe("gdk_pixbuf_loader_new_with_type", GErrorPtr(raw)));
    return nullptr;
  }
  const bool written = gdk_pixbuf_loader_write(
      loader.get(), reinterpret_cast<const guchar*>(data.get()), length, &raw);
  if (!written) {
    logShell(describe("gdk_pixbuf_loader_write", GErrorPtr(raw)));
    gdk_pixbuf_loader_close(loader.get(), nullptr);
    return nullptr;
  }
  if (!gdk_pixbuf_loader_close(loader.get(), &raw)) {
    logShell(describe("gdk_pixbuf_loader_close", GErrorPtr(raw)));
    return nullptr;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (pixbuf == nullptr) return nullptr;
  return GObjectPtr<GdkPixbuf>(static_cast<GdkPixbuf*>(g_object_ref(pixbuf)));
}

class GtkShellView : public platform::ShellView {
 public:
  // A plain view: an overlay whose base is a drawing area painting the
  // background colour, so subviews stack above it.
  // Animations complete on `queue`.
  GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame)
      : queue_(std::move(queue)), frame_(frame) {
    widget_ = retain(gtk_overlay_new());
    GtkWidget* fill = gtk_drawing_area_new();
    g_signal_connect(fill, "draw", G_CALLBACK(&GtkShellView::onDraw), this);
    gtk_container_add(GTK_CONTAINER(widget_.get()), fill);
    fill_ = fill;
    applyLayout(widget_.get(), frame_, mask_);
  }

  // An image view.
  GtkShellView(std::shared_ptr<platform::TaskQueue> queue, platform::Rect frame,
               GdkPixbuf* pixbuf)
      : queue_(std::move(queue)), frame_(frame) {
    widget_ = retain(gtk_image_new_from_pixbuf(pixbuf));
    applyLayout(widget_.get(), frame_, mask_);
  }

  ~GtkShellView() override {
    stopAnimation();
    if (fill_ != nullptr) {
      g_signal_handlers_disconnect_by_data(fill_, this);
    }
    removeFromSuperview();
  }

  GtkWidget* widget() const { return widget_.get(); }

  platform::Rect frame() const override { return frame_; }

  void setAutoresizingMask(unsigned mask) override {
    mask_ = mask;
    applyLayout(widget_.get(), frame_, mask_);
  }

  void setBackgroundColor(platform::Color color) override {
    background_ = color;
    hasBackground_ = true;
    if (fill_ != nullptr) gtk_widget_queue_draw(fill_);
  }

  void addSubview(std::shared_ptr<platform::ShellView> subview) override {
    auto* view = dynamic_cast<GtkShellView*>(subview.get());
    if (view == nullptr || fill_ == nullptr) return;  // image views hold no subviews
    gtk_overlay_add_overlay(GTK_OVERLAY(widget_.get()), view->widget());
    gtk_widget_show_all(view->widget());
    subviews_.push_back(std::move(subview));
  }

  double alphaValue() const override { return gtk_widget_get_opacity(widget_.get()); }
  void setAlphaValue(double alpha) override { gtk_widget_set_opacity(widget_.get(), alpha); }

  void animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                         std::function<void()> completion) override {
    stopAnimation();
    animation_.from = alphaValue();
    animation_.to = alpha;
    animation_.start = g_get_monotonic_time();
    animation_.duration = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    animation_.completion = std::move(completion);
    // About one step per frame at 60 Hz.
    animation_.source = g_timeout_add(16, &GtkShellView::onAnimationStep, this);
  }

  void removeFromSuperview() override {
    GtkWidget* parent = gtk_widget_get_parent(widget_.get());
    if (parent != nullptr) gtk_container_remove(GTK_CONTAINER(parent), widget_.get());
  }

 private:
  struct Animation {
    guint source = 0;
    double from = 1;
    double to = 1;
    gint64 start = 0;
    gint64 duration = 0;
    std::function<void()> completion;
  };

  void stopAnimation() {
    if (animation_.source != 0) g_source_remove(animation_.source);
    animation_.source = 0;
  }

  static gboolean onAnimationStep(gpointer data) {
    auto* self = static_cast<GtkShellView*>(data);
    Animation& a = self->animation_;
    const gint64 elapsed = g_get_monotonic_time() - a.start;
    const double progress =
        a.duration <= 0
            ? 1.0
            : std::min(1.0, static_cast<double>(elapsed) / static_cast<double>(a.duration));
    gtk_widget_set_opacity(self->widget_.get(), a.from + (a.to - a.from) * progress);
    if (progress < 1.0) return G_SOURCE_CONTINUE;
    a.source = 0;
    if (a.completion) self->queue_->post(std::exchange(a.completion, nullptr));
    return G_SOURCE_REMOVE;
  }

  static gboolean onDraw(GtkWidget* /*widget*/, cairo_t* cr, gpointer data) {
    auto* self = static_cast<GtkShellView*>(data);
    if (!self->hasBackground_) return FALSE;
    const platform::Color& c = self->background_;
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_paint(cr);
    return FALSE;
  }

  std::shared_ptr<platform::TaskQueue> queue_;
  platform::Rect frame_;
  unsigned mask_ = platform::autoresizing::kNotSizable;
  GObjectPtr<GtkWidget> widget_;
  GtkWidget* fill_ = nullptr;  // owned by widget_
  platform::Color background_;
  bool hasBackground_ = false;
  Animation animation_;
  std::vector<std::shared_ptr<platform::ShellView>> subviews_;
};

// The engine's view: an overlay whose base is the engine's drawing surface.
// With no UI drawing into it, the window's background shows through.
class GtkUiView : public platform::UiView {
 public:
  GtkUiView() {
    widget_ = retain(gtk_overlay_new());
    gtk_widget_set_name(widget_.get(), "FlutterView");
    surface_ = gtk_drawing_area_new();
    gtk_widget_set_hexpand(surface_, TRUE);
    gtk_widget_set_vexpand(surface_, TRUE);
    gtk_container_add(GTK_CONTAINER(widget_.get()), surface_);
  }

  GtkWidget* widget() const { return widget_.get(); }

  platform::Rect bounds() const override {
    GtkAllocation allocation{};
    gtk_widget_get_allocation(widget_.get(), &allocation);
    if (gtk_widget_get_realized(widget_.get())) {
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

  void addSubview(std::shared_ptr<platform::ShellView> subview) override {
    auto* view = dynamic_cast<GtkShellView*>(subview.get());
    if (view == nullptr) return;
    gtk_overlay_add_overlay(GTK_OVERLAY(widget_.get()), view->widget());
    gtk_widget_show_all(view->widget());
    subviews_.push_back(std::move(subview));
  }

 private:
  GObjectPtr<GtkWidget> widget_;
  GtkWidget* surface_ = nullptr;  // owned by widget_
  std::vector<std::shared_ptr<platform::ShellView>> subviews_;
};

// ---- window ----------------------------------------------------------------

class GtkShellWindow : public platform::Window {
 public:
  explicit GtkShellWindow(GtkWindow* window)
      : window_(static_cast<GtkWindow*>(g_object_ref(window))) {}

  GtkWindow* gtkWindow() const { return window_.get(); }

  platform::Rect frame() const override {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    gtk_window_get_position(window_.get(), &x, &y);
    gtk_window_get_size(window_.get(), &width, &height);
    return {static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
            static_cast<double>(height)};
  }

  void setFrame(platform::Rect frame, bool display) override {
    const int width = static_cast<int>(std::lround(frame.width));
    const int height = static_cast<int>(std::lround(frame.height));
    if (width > 0 && height > 0) gtk_window_resize(window_.get(), width, height);
    // Before mapping the window manager places the window; a move then
    // would pin it to wherever GTK reported it.
    if (gtk_widget_get_mapped(GTK_WIDGET(window_.get()))) {
      gtk_window_move(window_.get(), static_cast<int>(std::lround(frame.x)),
                      static_cast<int>(std::lround(frame.y)));
    }
    if (display) gtk_widget_queue_draw(GTK_WIDGET(window_.get()));
  }

  void setContentView(platform::UiView& view) override {
    auto* uiView = dynamic_cast<GtkUiView*>(&view);
    if (uiView == nullptr) return;
    GtkWidget* previous = gtk_bin_get_child(GTK_BIN(window_.get()));
    if (previous != nullptr) gtk_container_remove(GTK_CONTAINER(window_.get()), previous);
    gtk_container_add(GTK_CONTAINER(window_.get()), uiView->widget());
  }

  void setBackgroundColor(platform::Color color) override {
    if (!css_) {
      css_ = GObjectPtr<GtkCssProvider>(gtk_css_provider_new());
      gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(window_.get())),
                                     GTK_STYLE_PROVIDER(css_.get()),
                                     GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    const auto channel = [](double v) {
      return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
    };
    GCharPtr css(g_strdup_printf("* { background-color: rgba(%d, %d, %d, %.3f); }",
                                 channel(color.red), channel(color.green), channel(color.blue),
                                 std::clamp(color.alpha, 0.0, 1.0)));
    GError* raw = nullptr;
    gtk_css_provider_load_from_data(css_.get(), css.get(), -1, &raw);
    GErrorPtr error(raw);
    if (error) logShell(describe("gtk_css_provider_load_from_data", error));
  }

  // X11 windows without an alpha visual, which GTK picks by default, are
  // always opaque; a translucent window would need an RGBA visual first.
  void setOpaque(bool opaque) override { opaque_ = opaque; }

 private:
  GObjectPtr<GtkWindow> window_;
  GObjectPtr<GtkCssProvider> css_;
  bool opaque_ = false;
};

// ---- menus -----------------------------------------------------------------

class GtkShellApplication;

// An item of a menu model. Sections are flattened into their menu, the way
// separators split an AppKit menu.
class GtkShellMenu;

class GtkShellMenuItem : public platform::MenuItem {
 public:
  GtkShellMenuItem(GtkShellApplication& app, GMenuModel* owner, int index)
      : app_(app), owner_(static_cast<GMenuModel*>(g_object_ref(owner))), index_(index) {}

  std::string title() const override { return stringAttribute(G_MENU_ATTRIBUTE_LABEL); }

  std::string keyEquivalent() const override {
    const std::string accel = stringAttribute("accel");
    if (accel.empty()) return {};
    guint key = 0;
    GdkModifierType modifiers{};
    gtk_accelerator_parse(accel.c_str(), &key, &modifiers);
    const gunichar ch = gdk_keyval_to_unicode(key);
    if (ch == 0) return {};
    char utf8[8] = {};
    const gint length = g_unichar_to_utf8(ch, utf8);
    return std::string(utf8, static_cast<size_t>(length));
  }

  platform::Menu* submenu() override;

  void setAction(const std::string& selector, std::function<void()> action) override;

 private:
  std::string stringAttribute(const char* name) const {
    gchar* raw = nullptr;
    if (!g_menu_model_get_item_attribute(owner_.get(), index_, name, "s", &raw)) return {};
    GCharPtr value(raw);
    return value ? std::string(value.get()) : std::string();
  }

  GtkShellApplication& app_;
  GObjectPtr<GMenuModel> owner_;
  int index_;
  std::unique_ptr<GtkShellMenu> submenu_;
};

class GtkShellMenu : public platform::Menu {
 public:
  GtkShellMenu(GtkShellApplication& app, GMenuModel* model) { collect(app, model); }

  size_t numberOfItems() const override { return items_.size(); }
  platform::MenuItem* itemAtIndex(size_t index) override {
    return index < items_.size() ? items_[index].get() : nullptr;
  }

 private:
  void collect(GtkShellApplication& app, GMenuModel* model) {
    const int count = g_menu_model_get_n_items(model);
    for (int i = 0; i < count; ++i) {
      GObjectPtr<GMenuModel> section(g_menu_model_get_item_link(model, i, G_MENU_LINK_SECTION));
      if (section) {
        collect(app, section.get());
      } else {
        items_.push_back(std::make_unique<GtkShellMenuItem>(app, model, i));
      }
    }
  }
  std::vector<std::unique_ptr<GtkShellMenuItem>> items_;
};

platform::Menu* GtkShellMenuItem::submenu() {
  if (!submenu_) {
    GObjectPtr<GMenuModel> link(
        g_menu_model_get_item_link(owner_.get(), index_, G_MENU_LINK_SUBMENU));
    if (!link) return nullptr;
    submenu_ = std::make_unique<GtkShellMenu>(app_, link.get());
  }
  return submenu_.get();
}

// ---- application -----------------------------------------------------------

class GtkShellApplication : public platform::Application {
 public:
  GtkShellApplication(std::shared_ptr<platform::Bundle> bundle,
                      std::shared_ptr<platform::TaskQueue> mainQueue, ApplicationClasses classes)
      : bundle_(std::move(bundle)), mainQueue_(std::move(mainQueue)), classes_(std::move(classes)) {
    const auto id = bundle_->bundleIdentifier();
    const bool validId = id && g_application_id_is_valid(id->c_str());
    app_.reset(gtk_application_new(validId ? id->c_str() : nullptr, G_APPLICATION_HANDLES_OPEN));
    g_signal_connect(app_.get(), "startup", G_CALLBACK(&GtkShellApplication::onStartup), this);
    g_signal_connect(app_.get(), "activate", G_CALLBACK(&GtkShellApplication::onActivate), this);
    g_signal_connect(app_.get(), "open", G_CALLBACK(&GtkShellApplication::onOpen), this);
    g_signal_connect(app_.get(), "window-removed",
                     G_CALLBACK(&GtkShellApplication::onWindowRemoved), this);
  }

  ~GtkShellApplication() override { g_signal_handlers_disconnect_by_data(app_.get(), this); }

  int run(int argc, char** argv) {
    const int status = g_application_run(G_APPLICATION(app_.get()), argc, argv);
    if (classes_.onTearDown) classes_.onTearDown();
    // The program's objects go before the widgets they point into.
    nibWindow_.reset();
    delegate_.reset();
    mainMenu_.reset();
    window_.reset();
    if (failed_) return 1;
    return exitStatus_ != 0 ? exitStatus_ : status;
  }

  // platform::Application
  platform::Menu* mainMenu() override {
    if (!mainMenu_ && menuModel_)
      mainMenu_ = std::make_unique<GtkShellMenu>(*this, menuModel_.get());
    return mainMenu_.get();
  }

  std::shared_ptr<platform::Image> imageNamed(const std::string& name) override {
    auto path = bundle_->pathForResource(name, "png");
    if (!path) return nullptr;
    GObjectPtr<GdkPixbuf> pixbuf = loadPng(*path);
    if (!pixbuf) return nullptr;
    return std::make_shared<GtkShellImage>(std::move(pixbuf));
  }

  std::unique_ptr<platform::UiView> makeUiView() override { return std::make_unique<GtkUiView>(); }

  std::shared_ptr<platform::ShellView> makeView(platform::Rect frame) override {
    return std::make_shared<GtkShellView>(mainQueue_, frame);
  }

  std::shared_ptr<platform::ShellView> makeImageView(std::shared_ptr<platform::Image> image,
                                                     platform::Rect frame) override {
    auto* gtkImage = dynamic_cast<GtkShellImage*>(image.get());
    if (gtkImage == nullptr) return std::make_shared<GtkShellView>(mainQueue_, frame);
    GObjectPtr<GdkPixbuf> scaled(scaleToFit(gtkImage->pixbuf(), frame));
    return std::make_shared<GtkShellView>(mainQueue_, frame,
                                          scaled ? scaled.get() : gtkImage->pixbuf());
  }

  void terminate(int status) override {
    if (terminating_) return;
    terminating_ = true;
    exitStatus_ = status;
    if (delegate_) delegate_->applicationWillTerminate();
    if (window_) gtk_widget_destroy(GTK_WIDGET(window_->gtkWindow()));
    if (held_) {
      held_ = false;
      g_application_release(G_APPLICATION(app_.get()));
    }
    g_application_quit(G_APPLICATION(app_.get()));
  }

  // Called by menu items.
  GtkApplication* gtkApplication() const { return app_.get(); }

  void installAction(const std::string& name, std::function<void()> action) {
    actions_[name] = std::move(action);
    GObjectPtr<GSimpleAction> simple(g_simple_action_new(name.c_str(), nullptr));
    g_signal_connect(simple.get(), "activate", G_CALLBACK(&GtkShellApplication::onAction), this);
    g_action_map_add_action(G_ACTION_MAP(app_.get()), G_ACTION(simple.get()));
  }

 private:
  static GdkPixbuf* scaleToFit(GdkPixbuf* pixbuf, const platform::Rect& frame) {
    const double w = gdk_pixbuf_get_width(pixbuf);
    const double h = gdk_pixbuf_get_height(pixbuf);
    if (w <= 0 || h <= 0 || frame.width <= 0 || frame.height <= 0) return nullptr;
    const double scale = std::min(frame.width / w, frame.height / h);
    const int sw = std::max(1, static_cast<int>(std::lround(w * scale)));
    const int sh = std::max(1, static_cast<int>(std::lround(h * scale)));
    return gdk_pixbuf_scale_simple(pixbuf, sw, sh, GDK_INTERP_BILINEAR);
  }

  static void onAction(GSimpleAction* action, GVariant* /*parameter*/, gpointer data) {
    auto* self = static_cast<GtkShellApplication*>(data);
    auto it = self->actions_.find(g_action_get_name(G_ACTION(action)));
    if (it != self->actions_.end() && it->second) it->second();
  }

  static void onStartup(GApplication* /*app*/, gpointer data) {
    static_cast<GtkShellApplication*>(data)->loadInterface();
  }

  static void onActivate(GApplication* /*app*/, gpointer data) {
    auto* self = static_cast<GtkShellApplication*>(data);
    if (!self->launched_) {
      self->launch();  // shows the window on a later pass
    } else if (self->window_ && self->shown_) {
      gtk_window_present(self->window_->gtkWindow());
    }
  }

  static void onOpen(GApplication* /*app*/, GFile** files, gint count, const gchar* /*hint*/,
                     gpointer data) {
    auto* self = static_cast<GtkShellApplication*>(data);
    self->launch();
    if (self->failed_ || !self->delegate_) return;
    std::vector<std::string> urls;
    for (gint i = 0; i < count; ++i) {
      GCharPtr uri(g_file_get_uri(files[i]));
      if (uri) urls.emplace_back(uri.get());
    }
    self->delegate_->applicationOpenURLs(urls);
  }

  static void onWindowRemoved(GtkApplication* app, GtkWindow* /*window*/, gpointer data) {
    auto* self = static_cast<GtkShellApplication*>(data);
    if (gtk_application_get_windows(app) != nullptr || self->terminating_) return;
    if (self->delegate_ && self->delegate_->applicationShouldTerminateAfterLastWindowClosed()) {
      self->terminate(0);
    }
  }

  // Loads MainMenu.ui; the objects are created when the application launches.
  void loadInterface() {
    auto path = bundle_->pathForResource("MainMenu", "ui");
    if (!path) {
      fail("no interface description MainMenu.ui in " + bundle_->resourcePath());
      return;
    }
    builder_.reset(gtk_builder_new());
    GError* raw = nullptr;
    if (gtk_builder_add_from_file(builder_.get(), path->c_str(), &raw) == 0) {
      GErrorPtr error(raw);
      fail(describe("gtk_builder_add_from_file", error));
      return;
    }
    GObject* menu = gtk_builder_get_object(builder_.get(), "MainMenu");
    if (menu != nullptr && G_IS_MENU_MODEL(menu)) {
      menuModel_.reset(G_MENU_MODEL(g_object_ref(menu)));
    }
    installAction("quit", [this] { terminate(0); });
  }

  void fail(const std::string& why) {
    logShell(why);
    failed_ = true;
    g_application_quit(G_APPLICATION(app_.get()));
  }

  void launch() {
    if (launched_ || failed_) return;
    launched_ = true;

    GObject* object = gtk_builder_get_object(builder_.get(), classes_.windowClass.c_str());
    if (object == nullptr || !GTK_IS_WINDOW(object)) {
      fail("the interface description has no window " + classes_.windowClass);
      return;
    }
    // Stays alive until the application quits, whatever the windows do.
    g_application_hold(G_APPLICATION(app_.get()));
    held_ = true;

    delegate_ = classes_.makeDelegate ? classes_.makeDelegate()
                                      : std::make_unique<platform::ApplicationDelegate>();
    if (menuModel_) {
      gtk_application_set_menubar(app_.get(), menuModel_.get());
      registerMenuAccels(menuModel_.get());
    }

    GtkWindow* gtkWindow = GTK_WINDOW(object);
    gtk_window_set_application(gtkWindow, app_.get());
    window_ = std::make_unique<GtkShellWindow>(gtkWindow);
    if (classes_.makeWindow) {
      nibWindow_ = classes_.makeWindow(*this, *window_, *delegate_);
      if (nibWindow_) nibWindow_->awakeFromNib();
    }

    delegate_->applicationWillFinishLaunching();
    // Realizing and showing the window (styles, fonts, the menu bar) is a
    // large part of start-up and nothing the program's launch step needs, so
    // that step (the bridge listening) runs first on the main loop.
    if (classes_.onLaunched) {
      mainQueue_->post([this] {
        if (!terminating_) classes_.onLaunched(*this);
      });
    }
    mainQueue_->post([this] { showMainWindow(); });
  }

  void showMainWindow() {
    if (shown_ || terminating_ || !window_) return;
    shown_ = true;
    gtk_widget_show_all(GTK_WIDGET(window_->gtkWindow()));
    gtk_window_present(window_->gtkWindow());
    delegate_->applicationDidFinishLaunching();
  }

  // GTK shows a menu model's "accel" attributes but binds them only for
  // actions told about them.
  void registerMenuAccels(GMenuModel* model) {
    const int count = g_menu_model_get_n_items(model);
    for (int i = 0; i < count; ++i) {
      gchar* rawAction = nullptr;
      gchar* rawAccel = nullptr;
      g_menu_model_get_item_attribute(model, i, G_MENU_ATTRIBUTE_ACTION, "s", &rawAction);
      g_menu_model_get_item_attribute(model, i, "accel", "s", &rawAccel);
      GCharPtr action(rawAction);
      GCharPtr accel(rawAccel);
      if (action && accel) {
        const gchar* accels[] = {accel.get(), nullptr};
        gtk_application_set_accels_for_action(app_.get(), action.get(), accels);
      }
      for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
        GObjectPtr<GMenuModel> child(g_menu_model_get_item_link(model, i, link));
        if (child) registerMenuAccels(child.get());
      }
    }
  }

  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  ApplicationClasses classes_;
  GObjectPtr<GtkApplication> app_;
  GObjectPtr<GtkBuilder> builder_;
  GObjectPtr<GMenuModel> menuModel_;
  std::unique_ptr<GtkShellMenu> mainMenu_;
  std::unique_ptr<GtkShellWindow> window_;
  std::unique_ptr<platform::ApplicationDelegate> delegate_;
  std::unique_ptr<platform::NibWindow> nibWindow_;
  std::map<std::string, std::function<void()>> actions_;
  bool launched_ = false;
  bool shown_ = false;
  bool failed_ = false;
  bool held_ = false;
  bool terminating_ = false;
  int exitStatus_ = 0;
};

void GtkShellMenuItem::setAction(const std::string& selector, std::function<void()> action) {
  std::string name = selector;
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (!g_action_name_is_valid(name.c_str())) return;
  app_.installAction(name, std::move(action));

  const std::string detailed = "app." + name;
  gchar* rawOld = nullptr;
  g_menu_model_get_item_attribute(owner_.get(), index_, G_MENU_ATTRIBUTE_ACTION, "s", &rawOld);
  GCharPtr oldAction(rawOld);
  const std::string accel = stringAttribute("accel");

  // Menu models are immutable through their interface; the builder's menus
  // are GMenus, whose item is replaced in place.
  if (G_IS_MENU(owner_.get())) {
    GMenu* menu = G_MENU(owner_.get());
    GObjectPtr<GMenuItem> item(g_menu_item_new_from_model(owner_.get(), index_));
    g_menu_item_set_detailed_action(item.get(), detailed.c_str());
    g_menu_remove(menu, index_);
    g_menu_insert_item(menu, index_, item.get());
  }
  // The shortcut moves with the item to its new action.
  const gchar* none[] = {nullptr};
  if (oldAction && detailed != oldAction.get()) {
    gtk_application_set_accels_for_action(app_.gtkApplication(), oldAction.get(), none);
  }
  if (!accel.empty()) {
    const gchar* accels[] = {accel.c_str(), nullptr};
    gtk_application_set_accels_for_action(app_.gtkApplication(), detailed.c_str(), accels);
  }
}

}  // namespace

int applicationMain(int argc, char** argv, std::shared_ptr<platform::Bundle> bundle,
                    std::shared_ptr<platform::TaskQueue> mainQueue, ApplicationClasses classes) {
  GtkShellApplication application(std::move(bundle), std::move(mainQueue), std::move(classes));
  return application.run(argc, argv);
}

}  // namespace vellumark::linux_platform
