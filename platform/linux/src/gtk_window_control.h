// A GtkWindow as the window manager sees it: frame, style, level, states and
// notifications, with GDK/X11 for what GTK leaves to the window manager.
//
// GTK has no property for some AppKit window properties; those are kept
// here and applied through what X11 window managers honour: the style bits
// become decorations and the Motif functions, the floating level "keep
// above", joining all workspaces "sticky", ignoring mouse events an empty
// input shape, size limits and ratios the geometry hints. Main-thread only.
#pragma once

#include <gtk/gtk.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gtk_object.h"
#include "platform/window_control.h"

namespace vellumark::linux_platform::gtk {

class GtkWindowControl : public platform::WindowControl {
 public:
  // How long size changes must stop before a live resize counts as ended.
  static constexpr guint kLiveResizeQuietMs = 250;

  explicit GtkWindowControl(GtkWindow* window);
  ~GtkWindowControl() override;
  GtkWindowControl(const GtkWindowControl&) = delete;
  GtkWindowControl& operator=(const GtkWindowControl&) = delete;

  // Null once the window was destroyed.
  GtkWindow* gtkWindow() const { return destroyed_ ? nullptr : window_.get(); }
  // Skip-taskbar and skip-pager, for the application's activation policy.
  void setSkipTaskbar(bool skip);

  void setDelegate(std::weak_ptr<platform::WindowDelegate> delegate) override;
  bool isPanel() const override { return false; }
  int64_t windowNumber() const override;

  platform::Rect frame() const override;
  void setFrame(platform::Rect frame, bool display, bool animate) override;
  platform::Rect contentRectForFrameRect(platform::Rect frame) const override;
  void setMinSize(platform::Size size) override;
  void setMaxSize(platform::Size size) override;
  void setResizeIncrements(platform::Size increments) override;
  void setAspectRatio(platform::Size ratio) override;
  void setContentAspectRatio(platform::Size ratio) override;

  uint64_t styleMask() const override;
  void setStyleMask(uint64_t mask) override;
  int level() const override { return level_; }
  void setLevel(int level) override;
  uint64_t collectionBehavior() const override { return behavior_; }
  void setCollectionBehavior(uint64_t behavior) override;
  bool isMovable() const override { return movable_; }
  void setMovable(bool movable) override;

  bool isZoomed() const override;
  void zoom() override;
  bool isMiniaturized() const override;
  void miniaturize() override;
  void deminiaturize() override;
  void toggleFullScreen() override;

  bool isKeyWindow() const override;
  void makeKeyAndOrderFront() override;
  void orderBack() override;
  void orderOut() override;
  bool isVisible() const override;
  void setIsVisible(bool visible) override;
  void performClose() override;
  void performWindowDragWithCurrentEvent() override;

  std::string title() const override;
  void setTitle(const std::string& title) override;
  platform::TitleVisibility titleVisibility() const override { return titleVisibility_; }
  void setTitleVisibility(platform::TitleVisibility visibility) override;
  bool titlebarAppearsTransparent() const override { return titlebarTransparent_; }
  void setTitlebarAppearsTransparent(bool transparent) override;
  bool isTitlebarContainerHidden() const override { return titlebarHidden_; }
  void setTitlebarContainerHidden(bool hidden) override;
  bool isButtonHidden(platform::WindowButton button) const override;
  void setButtonHidden(platform::WindowButton button, bool hidden) override;

  void setBackgroundColor(platform::Color color) override;
  bool isOpaque() const override { return opaque_; }
  void setOpaque(bool opaque) override { opaque_ = opaque; }
  double alphaValue() const override;
  void setAlphaValue(double alpha) override;
  bool hasShadow() const override { return shadow_; }
  void setHasShadow(bool shadow) override { shadow_ = shadow; }
  void invalidateShadow() override {}
  void setAppearance(platform::Appearance appearance) override;
  bool ignoresMouseEvents() const override { return ignoresMouse_; }
  void setIgnoresMouseEvents(bool ignore) override;
  bool acceptsMouseMovedEvents() const override { return acceptsMouseMoved_; }
  void setAcceptsMouseMovedEvents(bool accept) override { acceptsMouseMoved_ = accept; }

 private:
  // The window manager's frame around the client area, in pixels.
  struct Decorations {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
  };
  struct Press {
    int button = 0;
    int xRoot = 0;
    int yRoot = 0;
    guint32 time = 0;
  };

  static gboolean onDelete(GtkWidget* widget, GdkEvent* event, gpointer data);
  static gboolean onConfigure(GtkWidget* widget, GdkEventConfigure* event, gpointer data);
  static gboolean onWindowState(GtkWidget* widget, GdkEventWindowState* event, gpointer data);
  static void onActive(GObject* object, GParamSpec* property, gpointer data);
  static gboolean onButton(GtkWidget* widget, GdkEventButton* event, gpointer data);
  static void onRealize(GtkWidget* widget, gpointer data);
  static void onDestroy(GtkWidget* widget, gpointer data);
  static gboolean onLiveResizeQuiet(gpointer data);

  std::shared_ptr<platform::WindowDelegate> delegate() const { return delegate_.lock(); }
  GdkWindow* gdkWindow() const;
  Decorations decorations() const;
  void applyDecorated();
  void applyFunctions();
  void applyHints();

  GObjectPtr<GtkWindow> window_;
  std::vector<SignalConnection> signals_;
  SourceId liveResize_;
  GObjectPtr<GtkCssProvider> css_;
  std::weak_ptr<platform::WindowDelegate> delegate_;
  bool destroyed_ = false;

  uint64_t style_;
  int level_ = platform::window_level::kNormal;
  uint64_t behavior_ = 0;
  bool movable_ = true;
  platform::TitleVisibility titleVisibility_ = platform::TitleVisibility::kVisible;
  bool titlebarTransparent_ = false;
  bool titlebarHidden_ = false;
  std::array<bool, 3> buttonsHidden_{};
  bool opaque_ = true;
  bool shadow_ = true;
  // GTK keeps opacity in 8 bits; the value set is read back as set.
  std::optional<double> alpha_;
  bool ignoresMouse_ = false;
  bool acceptsMouseMoved_ = false;
  platform::Size minSize_;
  platform::Size maxSize_;
  platform::Size increments_;
  platform::Size aspect_;
  platform::Size contentAspect_;
  // The size the window had when resizing was switched off, kept while it is.
  std::optional<platform::Size> fixedSize_;

  std::optional<GdkRectangle> lastConfigure_;
  std::optional<Press> press_;
  // A zoom this object asked for, already agreed to by the delegate.
  bool zoomRequested_ = false;
};

}  // namespace vellumark::linux_platform::gtk
