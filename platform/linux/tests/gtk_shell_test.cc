// The GTK shell on a real X display (tests/env/with-test-env.sh): teardown in
// either order while the splash is up, the background colour in a
// comma-decimal locale, the window's X11 handle, and the application's own
// teardown when it terminates during the splash. Any GLib warning or
// critical fails the test.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines macros (None, Bool) that its headers use as names.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <array>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../src/gtk_shell_view.h"
#include "../src/gtk_shell_window.h"
#include "../src/gtk_ui_view.h"
#include "platform/task_queue.h"
#include "platform_linux/bundle.h"
#include "platform_linux/gtk_app_shell.h"

namespace vellumark::linux_platform::gtk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr platform::Color kBlue{18.0 / 255.0, 78.0 / 255.0, 152.0 / 255.0, 1.0};
constexpr std::array<int, 3> kBlueRgb{0x12, 0x4E, 0x98};
constexpr std::array<int, 3> kCreamRgb{0xF4, 0xF1, 0xEA};
constexpr platform::Rect kWindowFrame{0, 0, 320, 240};
constexpr char kCommaLocale[] = "de_DE.UTF-8";

// Every warning and critical GLib logs in this process, whoever logs it.
std::mutex logMutex;
std::vector<std::string> loggedProblems;

GLogWriterOutput recordProblems(GLogLevelFlags level, const GLogField* fields, gsize count,
                                gpointer data) {
  if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0) {
    std::string line;
    for (gsize i = 0; i < count; ++i) {
      if (std::string(fields[i].key) == "MESSAGE" && fields[i].length < 0) {
        line = static_cast<const char*>(fields[i].value);
      }
    }
    std::lock_guard lock(logMutex);
    loggedProblems.push_back(line);
  }
  return g_log_writer_default(level, fields, count, data);
}

std::vector<std::string> takeProblems() {
  std::lock_guard lock(logMutex);
  return std::exchange(loggedProblems, {});
}

bool displayReady() {
  static const bool ready = [] {
    g_log_set_writer_func(&recordProblems, nullptr, nullptr);
    return std::getenv("DISPLAY") != nullptr && gtk_init_check(nullptr, nullptr);
  }();
  return ready;
}

// The main queue of these tests: the default GLib main context.
class GlibQueue : public platform::TaskQueue {
 public:
  void post(platform::Task task) override { postAfter(0ms, std::move(task)); }
  void postAfter(std::chrono::milliseconds delay, platform::Task task) override {
    auto owned = std::make_unique<platform::Task>(std::move(task));
    g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()), &GlibQueue::run,
                       owned.release(), &GlibQueue::destroy);
  }

 private:
  static gboolean run(gpointer data) {
    (*static_cast<platform::Task*>(data))();
    return G_SOURCE_REMOVE;
  }
  static void destroy(gpointer data) {
    std::unique_ptr<platform::Task> owned(static_cast<platform::Task*>(data));
  }
};

// Runs the main loop until `done` or a generous bound; the bound only keeps
// a broken test from hanging.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 5s) {
  const auto end = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() >= end) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  return true;
}

void pumpFor(std::chrono::milliseconds span) {
  pumpUntil([] { return false; }, span);
}

struct WidgetDestroy {
  void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};
using WindowPtr = std::unique_ptr<GtkWidget, WidgetDestroy>;

WindowPtr makeWindow() {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), static_cast<int>(kWindowFrame.width),
                              static_cast<int>(kWindowFrame.height));
  return WindowPtr(window);
}

// True once `window` is mapped and has drawn a frame.
class DrawWatch {
 public:
  explicit DrawWatch(GtkWidget* window)
      : connection_(window, "draw", G_CALLBACK(&DrawWatch::onDraw), this, G_CONNECT_AFTER),
        window_(window) {}
  bool drawn() const { return draws_ > 0 && gtk_widget_get_mapped(window_); }

 private:
  static gboolean onDraw(GtkWidget*, cairo_t*, gpointer data) {
    ++static_cast<DrawWatch*>(data)->draws_;
    return FALSE;
  }
  SignalConnection connection_;
  GtkWidget* window_;
  int draws_ = 0;
};

// Shows the window and waits until it is mapped and has drawn once.
bool showUntilDrawn(GtkWidget* window) {
  DrawWatch watch(window);
  gtk_widget_show_all(window);
  return pumpUntil([&] { return watch.drawn(); });
}

std::array<int, 3> pixelAt(GtkWidget* window, int x, int y) {
  gdk_display_sync(gtk_widget_get_display(window));
  auto pixbuf = adopt(gdk_pixbuf_get_from_window(gtk_widget_get_window(window), x, y, 1, 1));
  if (!pixbuf) return {-1, -1, -1};
  const guchar* p = gdk_pixbuf_read_pixels(pixbuf.get());
  return {p[0], p[1], p[2]};
}

class GtkShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!displayReady()) GTEST_SKIP() << "needs a display (tests/env/with-test-env.sh)";
    takeProblems();
  }
  void TearDown() override {
    pumpFor(20ms);  // anything a teardown left queued runs now, inside the test
    for (const std::string& line : takeProblems()) ADD_FAILURE() << "GLib logged: " << line;
  }

  std::shared_ptr<GlibQueue> queue = std::make_shared<GlibQueue>();
};

// The main window's splash as the app builds it: a coloured overlay with a
// centred icon, over the UI view, fading out.
struct SplashScene {
  SplashScene(const std::shared_ptr<platform::TaskQueue>& queue, GtkWidget* gtkWindow)
      : window(std::make_unique<GtkShellWindow>(GTK_WINDOW(gtkWindow))),
        ui(std::make_unique<GtkUiView>()) {
    window->setContentView(*ui);
    window->setBackgroundColor(kBlue);
    auto overlay = std::make_shared<GtkShellView>(queue, kWindowFrame);
    overlay->setAutoresizingMask(platform::autoresizing::kWidthSizable |
                                 platform::autoresizing::kHeightSizable);
    overlay->setBackgroundColor(kBlue);
    auto pixels = adopt(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 64, 64));
    gdk_pixbuf_fill(pixels.get(), 0xF4F1EAFF);
    overlay->addSubview(
        std::make_shared<GtkShellView>(queue, platform::Rect{128, 88, 64, 64}, pixels.get()));
    ui->addSubview(overlay);
    splash = overlay;
  }

  std::unique_ptr<GtkShellWindow> window;
  std::unique_ptr<GtkUiView> ui;
  std::shared_ptr<GtkShellView> splash;
};

// Starts a 300 ms fade of the splash and lets it run a little.
void startFade(SplashScene& scene, bool& faded) {
  scene.splash->animateAlphaValue(0, 300ms, [&faded] { faded = true; });
  pumpFor(40ms);
}

TEST_F(GtkShellTest, WindowDestroyedDuringTheSplashThenTheViews) {
  WindowPtr gtkWindow = makeWindow();
  SplashScene scene(queue, gtkWindow.get());
  ASSERT_TRUE(showUntilDrawn(gtkWindow.get()));
  bool faded = false;
  startFade(scene, faded);
  ASSERT_TRUE(scene.splash->animating());

  // As when the window manager closes the window or the app terminates
  // within the first 0.8 s: GTK destroys the widget tree first.
  gtkWindow.reset();
  pumpFor(20ms);
  // Then the app's objects go in the main window's member order.
  scene.splash.reset();
  scene.ui.reset();
  scene.window.reset();
  pumpFor(350ms);  // past the end of the fade
  EXPECT_FALSE(faded) << "a fade finished for a view that was gone";
}

TEST_F(GtkShellTest, ViewsDestroyedDuringTheSplashThenTheWindow) {
  WindowPtr gtkWindow = makeWindow();
  SplashScene scene(queue, gtkWindow.get());
  ASSERT_TRUE(showUntilDrawn(gtkWindow.get()));
  bool faded = false;
  startFade(scene, faded);

  scene.splash.reset();
  scene.ui.reset();
  EXPECT_EQ(gtk_bin_get_child(GTK_BIN(gtkWindow.get())), nullptr)
      << "the UI view's widget stayed in the window";
  // The window goes on drawing without them.
  gtk_widget_queue_draw(gtkWindow.get());
  pumpFor(350ms);
  scene.window.reset();
  gtkWindow.reset();
  EXPECT_FALSE(faded);
}

TEST_F(GtkShellTest, SplashPaintsItsIconThenFadesOnTheQueueAndLeavesItsSuperview) {
  WindowPtr gtkWindow = makeWindow();
  SplashScene scene(queue, gtkWindow.get());
  ASSERT_TRUE(showUntilDrawn(gtkWindow.get()));
  pumpFor(30ms);
  EXPECT_EQ(pixelAt(gtkWindow.get(), 160, 120), kCreamRgb) << "the icon's centre";
  EXPECT_EQ(pixelAt(gtkWindow.get(), 10, 10), kBlueRgb) << "the splash around it";

  bool faded = false;
  scene.splash->animateAlphaValue(0, 100ms, [&] {
    faded = true;
    scene.splash->removeFromSuperview();
  });
  ASSERT_TRUE(pumpUntil([&] { return faded; }));
  EXPECT_DOUBLE_EQ(scene.splash->alphaValue(), 0.0);
  EXPECT_EQ(gtk_widget_get_parent(scene.splash->widget()), nullptr);
  // The app drops its pointer; the UI view lets go of the removed view on
  // its next change, and the view's teardown finds it whole.
  std::weak_ptr<GtkShellView> gone = scene.splash;
  scene.splash.reset();
  scene.ui->addSubview(std::make_shared<GtkShellView>(queue, kWindowFrame));
  EXPECT_TRUE(gone.expired());
}

// Finds the test environment's locales while the test runs (LOCPATH hides
// the system's locale archive, so it is set for this test alone) and
// restores the C locale however the test ends.
struct LocaleGuard {
  LocaleGuard() {
    if (const char* dir = std::getenv("VELLUMARK_TEST_LOCPATH")) setenv("LOCPATH", dir, 1);
  }
  ~LocaleGuard() {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }
};

TEST_F(GtkShellTest, BackgroundIsPaintedInACommaDecimalLocale) {
  LocaleGuard restore;
  if (std::setlocale(LC_ALL, kCommaLocale) == nullptr) {
    GTEST_SKIP() << kCommaLocale << " is not available (tests/env/with-test-env.sh makes it)";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.0);
  ASSERT_STREQ(probe, "1,0") << "not a comma-decimal locale";

  EXPECT_EQ(cssNumber(1.0), "1");
  EXPECT_EQ(cssNumber(0.25), "0.25");
  EXPECT_EQ(backgroundCss({1, 0.5, 0, 0.5}), "* { background-color: rgba(255, 128, 0, 0.5); }");

  WindowPtr gtkWindow = makeWindow();
  GtkShellWindow window(GTK_WINDOW(gtkWindow.get()));
  window.setBackgroundColor({0, 0, 0, 1});  // makes the provider, then a second load
  ASSERT_NE(window.cssProvider(), nullptr);
  std::vector<std::string> cssErrors;
  SignalConnection parsing(
      window.cssProvider(), "parsing-error",
      G_CALLBACK(+[](GtkCssProvider*, GtkCssSection*, GError* error, gpointer data) {
        static_cast<std::vector<std::string>*>(data)->push_back(error->message);
      }),
      &cssErrors);
  window.setBackgroundColor(kBlue);
  window.setOpaque(true);
  EXPECT_TRUE(cssErrors.empty()) << cssErrors.front();

  ASSERT_TRUE(showUntilDrawn(gtkWindow.get()));
  pumpFor(30ms);
  EXPECT_EQ(pixelAt(gtkWindow.get(), 160, 120), kBlueRgb);
}

TEST_F(GtkShellTest, NativeHandleIsTheX11WindowWhileRealized) {
  WindowPtr gtkWindow = makeWindow();
  GtkShellWindow window(GTK_WINDOW(gtkWindow.get()));
  EXPECT_EQ(window.nativeHandle(), "") << "not realized yet";

  gtk_widget_realize(gtkWindow.get());
  GdkWindow* gdkWindow = gtk_widget_get_window(gtkWindow.get());
  ASSERT_TRUE(GDK_IS_X11_WINDOW(gdkWindow));
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%lx", gdk_x11_window_get_xid(gdkWindow));
  EXPECT_EQ(window.nativeHandle(), expected);

  gtkWindow.reset();
  EXPECT_EQ(window.nativeHandle(), "") << "destroyed";
}

// The frame read before mapping is the size the window is shown at: set back
// as read (the main window's start-up does), it keeps that size.
TEST_F(GtkShellTest, FrameBeforeMappingIsTheSizeTheWindowIsShownAt) {
  WindowPtr gtkWindow = makeWindow();
  GtkShellWindow window(GTK_WINDOW(gtkWindow.get()));
  EXPECT_EQ(window.frame(), kWindowFrame) << "not placed yet";
  window.setFrame(window.frame(), true);

  ASSERT_TRUE(showUntilDrawn(gtkWindow.get()));
  const platform::Rect shown = window.frame();
  EXPECT_EQ(shown.width, kWindowFrame.width);
  EXPECT_EQ(shown.height, kWindowFrame.height);

  // Without a default size GTK's own size stands in.
  WindowPtr plain(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  const platform::Rect unsized = GtkShellWindow(GTK_WINDOW(plain.get())).frame();
  EXPECT_GT(unsized.width, 0);
  EXPECT_GT(unsized.height, 0);
}

// ---- the application, end to end in this process ----------------------------

// A bundle with the app's interface description and icon, and no bundle
// identifier: a non-unique application that never meets another test's.
class BundleDir {
 public:
  BundleDir() {
    char pattern[] = "/tmp/vellumark-gtk-shell.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    const fs::path resources = path_ / "Resources";
    fs::create_directories(resources);
    const fs::path source = fs::path(VELLUMARK_SOURCE_DIR) / "app/resources";
    fs::copy_file(source / "MainMenu.ui", resources / "MainMenu.ui");
    fs::copy_file(source / "AppIcon.png", resources / "AppIcon.png");
  }
  ~BundleDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::shared_ptr<platform::Bundle> open() const { return openBundle(path_.string()); }

 private:
  fs::path path_;
};

class QuitWhenClosed : public platform::ApplicationDelegate {
 public:
  bool applicationShouldTerminateAfterLastWindowClosed() override { return true; }
};

// The main window's side as the app has it: its views, splash and fade.
class SplashWindow : public platform::NibWindow {
 public:
  SplashWindow(platform::Application& app, platform::Window& window,
               std::shared_ptr<platform::TaskQueue> queue)
      : app_(app), window_(window), queue_(std::move(queue)) {}

  void awakeFromNib() override {
    ui_ = app_.makeUiView();
    window_.setContentView(*ui_);
    window_.setBackgroundColor(kBlue);
    splash_ = app_.makeView(ui_->bounds());
    splash_->setAutoresizingMask(platform::autoresizing::kWidthSizable |
                                 platform::autoresizing::kHeightSizable);
    splash_->setBackgroundColor(kBlue);
    if (auto icon = app_.imageNamed("AppIcon")) {
      splash_->addSubview(app_.makeImageView(std::move(icon), {0, 0, 128, 128}));
    }
    ui_->addSubview(splash_);
    queue_->postAfter(50ms, [weak = std::weak_ptr(splash_)] {
      if (auto splash = weak.lock()) splash->animateAlphaValue(0, 300ms, [] {});
    });
  }

 private:
  platform::Application& app_;
  platform::Window& window_;
  std::shared_ptr<platform::TaskQueue> queue_;
  std::unique_ptr<platform::UiView> ui_;
  std::shared_ptr<platform::ShellView> splash_;
};

struct AppRun {
  std::function<void(platform::Application&, platform::Window&)> onLaunched;
  platform::Window* window = nullptr;
};

int runApplication(const BundleDir& bundle, const std::shared_ptr<GlibQueue>& queue, AppRun& run) {
  ApplicationClasses classes;
  classes.makeDelegate = [] { return std::make_unique<QuitWhenClosed>(); };
  classes.makeWindow = [&](platform::Application& app, platform::Window& window,
                           platform::ApplicationDelegate&) {
    run.window = &window;
    return std::make_unique<SplashWindow>(app, window, queue);
  };
  classes.onLaunched = [&](platform::Application& app) { run.onLaunched(app, *run.window); };
  char name[] = "gtk_shell_test";
  char* argv[] = {name, nullptr};
  return applicationMain(1, argv, bundle.open(), queue, std::move(classes));
}

TEST_F(GtkShellTest, TerminatingDuringTheSplashTearsDownCleanly) {
  BundleDir bundle;
  AppRun run;
  // As a bridge that fails to listen does, before the window is shown.
  run.onLaunched = [](platform::Application& app, platform::Window&) { app.terminate(1); };
  EXPECT_EQ(runApplication(bundle, queue, run), 1);
}

TEST_F(GtkShellTest, ClosingTheShownWindowDuringTheFadeExitsWithZero) {
  BundleDir bundle;
  AppRun run;
  run.onLaunched = [this](platform::Application&, platform::Window& window) {
    auto* gtkWindow = dynamic_cast<GtkShellWindow&>(window).gtkWindow();
    // Once mapped, and mid-fade, as the window manager's close button would.
    queue->postAfter(150ms, [gtkWindow] { gtk_window_close(gtkWindow); });
  };
  EXPECT_EQ(runApplication(bundle, queue, run), 0);
}

TEST_F(GtkShellTest, MenuBarJoinsTheWindowOnceMappedWithItsShortcutsBoundBefore) {
  BundleDir bundle;
  AppRun run;
  struct Seen {
    bool mapped = false;
    gboolean barAtMap = TRUE;
    std::vector<std::string> quitAccelsAtMap;
    gboolean barLater = FALSE;
  } seen;
  SignalConnection mapWatch;
  run.onLaunched = [&](platform::Application& app, platform::Window& window) {
    GtkWindow* gtkWindow = dynamic_cast<GtkShellWindow&>(window).gtkWindow();
    mapWatch = SignalConnection(
        gtkWindow, "map-event",
        G_CALLBACK(+[](GtkWidget* widget, GdkEvent*, gpointer data) -> gboolean {
          auto* s = static_cast<Seen*>(data);
          if (s->mapped) return FALSE;
          s->mapped = true;
          g_object_get(widget, "show-menubar", &s->barAtMap, nullptr);
          GtkApplication* gtkApp = gtk_window_get_application(GTK_WINDOW(widget));
          gchar** accels = gtk_application_get_accels_for_action(gtkApp, "app.quit");
          for (gchar** a = accels; a != nullptr && *a != nullptr; ++a) {
            s->quitAccelsAtMap.emplace_back(*a);
          }
          g_strfreev(accels);
          return FALSE;
        }),
        &seen);
    queue->postAfter(400ms, [&app, &seen, gtkWindow] {
      g_object_get(gtkWindow, "show-menubar", &seen.barLater, nullptr);
      app.terminate(0);
    });
  };
  EXPECT_EQ(runApplication(bundle, queue, run), 0);
  ASSERT_TRUE(seen.mapped);
  EXPECT_FALSE(seen.barAtMap) << "the menu bar (and the fonts) held back the first map";
  EXPECT_EQ(seen.quitAccelsAtMap, std::vector<std::string>{"<Primary>q"});
  EXPECT_TRUE(seen.barLater) << "the menu bar never joined the window";
}

}  // namespace
}  // namespace vellumark::linux_platform::gtk
