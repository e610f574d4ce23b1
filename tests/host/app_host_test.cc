// The built host, end to end: the splash on screen, the settings shortcut on
// the menu channel, closing the window, the bundle on disk.
#include <gdk/gdk.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include "embedding/bridge_client.h"
#include "embedding/codec.h"
#include "host_fixture.h"
#include "platform_linux/bundle.h"

namespace vellumark {
namespace {

using namespace host_test;

// The main window's client area on the screen.
std::optional<Geometry> findMainWindow() {
  const std::string id = mainWindowId();
  if (id.empty()) return std::nullopt;
  return windowGeometry(id);
}

struct Screenshot {
  GdkPixbuf* pixbuf = nullptr;
  ~Screenshot() {
    if (pixbuf != nullptr) g_object_unref(pixbuf);
  }
  std::array<int, 3> at(int x, int y) const {
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* p = gdk_pixbuf_read_pixels(pixbuf) + y * stride + x * channels;
    return {p[0], p[1], p[2]};
  }
};

// Grabs the whole screen in-process: a few milliseconds, where spawning
// `import` would take a large part of the time window being checked.
std::unique_ptr<Screenshot> screenshot() {
  static const bool ready = gdk_init_check(nullptr, nullptr);
  if (!ready) return nullptr;
  GdkWindow* root = gdk_get_default_root_window();
  auto shot = std::make_unique<Screenshot>();
  shot->pixbuf = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root),
                                            gdk_window_get_height(root));
  if (shot->pixbuf == nullptr) return nullptr;
  return shot;
}

constexpr std::array<int, 3> kBlue{0x12, 0x4E, 0x98};
constexpr std::array<int, 3> kCream{0xF4, 0xF1, 0xEA};  // the icon's plate

bool near(const std::array<int, 3>& a, const std::array<int, 3>& b, int tolerance = 6) {
  for (size_t i = 0; i < 3; ++i) {
    if (std::abs(a[i] - b[i]) > tolerance) return false;
  }
  return true;
}

// The bounding box of the icon's plate within `area`.
std::optional<Geometry> iconBox(const Screenshot& shot, const Geometry& area) {
  int minX = INT32_MAX, minY = INT32_MAX, maxX = -1, maxY = -1;
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) {
      if (!near(shot.at(x, y), kCream)) continue;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  if (maxX < 0) return std::nullopt;
  return Geometry{minX, minY, maxX - minX + 1, maxY - minY + 1};
}

using AppHostTest = HostTest;

TEST_F(AppHostTest, SplashShowsTheCentredIconThenFadesToTheBackground) {
  Host& h = startHost();
  h.sleepUntil(300ms);
  auto early = screenshot();
  const auto earlyAt = h.sinceStart();
  h.sleepUntil(1200ms);
  auto late = screenshot();
  ASSERT_TRUE(h.waitForSocket()) << h.log();
  ASSERT_TRUE(early && late);
  EXPECT_LE(earlyAt.count(), 400) << "the machine was too slow to catch the splash";

  auto window = findMainWindow();
  ASSERT_TRUE(window);
  // The engine's view fills the client area below the menu bar; sample its
  // lower part, which the bar never covers.
  const int cx = window->x + window->width / 2;
  const Geometry lowerHalf{window->x, window->y + window->height / 2, window->width,
                           window->height / 2};

  auto box = iconBox(*early, *window);
  ASSERT_TRUE(box) << "no icon 0.3 s after start";
  // The plate is 224/256 of the 128-point icon.
  EXPECT_NEAR(box->width, 112, 4);
  EXPECT_NEAR(box->height, 112, 4);
  EXPECT_NEAR(box->x + box->width / 2, cx, 2);
  EXPECT_NEAR(box->y + box->height / 2, window->y + window->height / 2, 20);
  EXPECT_EQ(early->at(lowerHalf.x + 5, lowerHalf.y + lowerHalf.height - 5), kBlue);

  EXPECT_FALSE(iconBox(*late, *window)) << "icon still up 1.2 s after start";
  EXPECT_EQ(late->at(cx, window->y + window->height / 2), kBlue);
  EXPECT_EQ(late->at(box->x + 10, box->y + 10), kBlue);
}

TEST_F(AppHostTest, CtrlCommaSendsOpenPreferencesOnTheMenuChannel) {
  Host& h = startHost();
  ASSERT_TRUE(h.waitForSocket()) << h.log();
  bridge::BridgeClient ui;
  ui.connect(h.socket().string());

  const std::string id = mainWindowId();
  ASSERT_FALSE(id.empty());
  run("xdotool windowactivate --sync " + id + " key --clearmodifiers ctrl+comma");

  auto message = ui.nextHostMessage(5s);
  ASSERT_TRUE(message) << h.log();
  EXPECT_EQ(message->channel, "vellumark/menu");
  EXPECT_EQ(message->id, 0u);  // no answer awaited
  const MethodCall call = StandardMethodCodec::sharedInstance()->decodeMethodCall(message->payload);
  EXPECT_EQ(call.method, "openPreferences");
  EXPECT_TRUE(call.arguments.isNull());
  // Exactly one call per key press.
  EXPECT_FALSE(ui.nextHostMessage(300ms));
}

TEST_F(AppHostTest, HostctlWatchPrintsTheSettingsCall) {
  if (!fs::exists(kHostctl)) GTEST_SKIP() << "hostctl not built";
  Host& h = startHost();
  ASSERT_TRUE(h.waitForSocket()) << h.log();
  // Held for a UI that is not there yet, then delivered when hostctl connects.
  run("xdotool windowactivate --sync " + mainWindowId() + " key --clearmodifiers ctrl+comma");
  const std::string out = run("VELLUMARK_UI_SOCKET=" + h.socket().string() + " " +
                              kHostctl.string() + " watch vellumark/menu --count 1 2>&1");
  EXPECT_NE(out.find("\"openPreferences\""), std::string::npos) << out;
  EXPECT_NE(out.find("null"), std::string::npos) << out;
}

// Docks tie the window to the desktop entry through its class, and show its
// icon: both come from the application ID.
TEST_F(AppHostTest, WindowClassIsTheApplicationIdAndTheWindowHasAnIcon) {
  Host& h = startHost();
  ASSERT_TRUE(h.waitForSocket()) << h.log();
  const std::string id = mainWindowId();
  ASSERT_FALSE(id.empty());
  EXPECT_NE(run("xprop -id " + id + " WM_CLASS").find("\"com.vellumark.desktop\""),
            std::string::npos);
  // Set once the first frame is out.
  EXPECT_TRUE(waitFor(
      [&] {
        return run("xprop -id " + id + " _NET_WM_ICON 2>/dev/null | head -c 200").find("Icon (") !=
               std::string::npos;
      },
      5s));
}

TEST_F(AppHostTest, ClosingTheWindowThroughTheWindowManagerExitsWithZero) {
  Host& h = startHost();
  ASSERT_TRUE(h.waitForSocket()) << h.log();
  const std::string id = mainWindowId();
  ASSERT_FALSE(id.empty());
  // The window manager ignores a close request for a window it does not
  // manage yet.
  ASSERT_TRUE(waitFor(
      [&] {
        return run("xprop -id " + id + " WM_STATE 2>/dev/null").find("Normal") != std::string::npos;
      },
      5s));
  run("wmctrl -i -c " + id);
  const auto status = h.waitExit(5s);
  ASSERT_TRUE(status) << "still running after the window closed";
  EXPECT_EQ(*status, 0) << h.log();
  EXPECT_FALSE(fs::exists(h.socket())) << "socket left behind";
}

TEST_F(AppHostTest, SecondHostOnALiveSocketFailsClearly) {
  Host& first = startHost();
  ASSERT_TRUE(first.waitForSocket()) << first.log();
  // Same socket path, its own log.
  Host second(first.socket(), dir / "second.log");
  second.start();
  const auto status = second.waitExit(10s);
  ASSERT_TRUE(status) << "the second host kept running";
  EXPECT_NE(*status, 0);
  const std::string log = second.log();
  EXPECT_NE(log.find("another host is listening on " + first.socket().string()), std::string::npos)
      << log;

  // The first host kept its socket and still serves a UI.
  ASSERT_TRUE(first.running()) << "the first host went down: " << first.log();
  EXPECT_TRUE(fs::is_socket(first.socket()));
  Ui ui;
  ASSERT_TRUE(ui.connect(first.socket()));
  const auto reply = ui.reply(ui.call("no/such/channel", "ping"));
  ASSERT_TRUE(reply) << first.log();
  EXPECT_TRUE(reply->empty());
}

// ---- the bundle on disk ------------------------------------------------------

void expectBundle(const fs::path& root) {
  SCOPED_TRACE(root.string());
  for (const char* file :
       {"Info.plist", "Entitlements.plist", "Resources/AppIcon.png", "Resources/MainMenu.ui",
        "Resources/vellumark.desktop", "bin/vellumark"}) {
    EXPECT_TRUE(fs::is_regular_file(root / file)) << file;
  }
  auto bundle = linux_platform::openBundle(root.string());
  EXPECT_EQ(bundle->bundleIdentifier(), "com.vellumark.desktop");
  for (const char* key : {"CFBundleName", "CFBundleDisplayName"}) {
    auto value = bundle->objectForInfoDictionaryKey(key);
    ASSERT_TRUE(value && value->asString()) << key;
    EXPECT_EQ(*value->asString(), "Vellumark");
  }
  for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion", "SUPublicEDKey"}) {
    auto value = bundle->objectForInfoDictionaryKey(key);
    ASSERT_TRUE(value && value->asString()) << key;
    EXPECT_FALSE(value->asString()->empty()) << key;
  }
  std::ifstream desktop(root / "Resources/vellumark.desktop");
  const std::string text(std::istreambuf_iterator<char>(desktop), {});
  EXPECT_NE(text.find("\nMimeType=x-scheme-handler/vellumark;\n"), std::string::npos);
}

TEST(BundleLayoutTest, BuildProducesTheBundle) { expectBundle(kBundle); }

TEST(BundleLayoutTest, InstallLaysOutTheSameBundle) {
  char tmpl[] = "/tmp/vellumark-install.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path prefix = tmpl;
  const std::string out = run("cmake --install " + std::string(VELLUMARK_BINARY_DIR) +
                              " --prefix " + prefix.string() + " --component Unspecified 2>&1");
  expectBundle(prefix / "lib/vellumark");
  // The command in bin/ reaches the bundle's executable.
  EXPECT_EQ(fs::canonical(prefix / "bin/vellumark"),
            fs::canonical(prefix / "lib/vellumark/bin/vellumark"))
      << out;
  fs::remove_all(prefix);
}

}  // namespace
}  // namespace vellumark
