// The window manager and the screen retriever in the built host under Xvfb
// with openbox: commands over the bridge, checked through the window
// manager's view of the window (xprop), the screen, and the events the UI hears.
#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "host_fixture.h"

namespace vellumark::host_test {
namespace {

constexpr char kWindowManager[] = "window_manager";
constexpr char kScreens[] = "marrowdene/screen_retriever";

class WindowHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    startHost();
    ASSERT_TRUE(host->waitForSocket());
    ASSERT_TRUE(ui.connect(host->socket()));
    xid = mainWindowId();
    ASSERT_FALSE(xid.empty());
    EXPECT_EQ(call("ensureInitialized"), ChannelValue(true));
  }

  ChannelValue call(const std::string& method, ChannelValue args = {},
                    const std::string& channel = kWindowManager) {
    auto reply = ui.reply(ui.call(channel, method, std::move(args)));
    if (!reply) {
      ADD_FAILURE() << method << ": no reply";
      return {};
    }
    auto envelope = Ui::decode(*reply);
    const auto* value = std::get_if<ChannelValue>(&envelope);
    if (value == nullptr) ADD_FAILURE() << method << ": no value";
    return value != nullptr ? *value : ChannelValue{};
  }

  // The events heard until `last` came (or none within the wait).
  std::vector<std::string> eventsUntil(const std::string& last) {
    std::vector<std::string> names;
    while (auto message = ui.nextMessage(5s)) {
      if (message->channel != kWindowManager) continue;
      const MethodCall c =
          StandardMethodCodec::sharedInstance()->decodeMethodCall(message->payload);
      const ChannelValue* name = c.arguments.asMap()->find("eventName");
      names.push_back(*name->asString());
      if (names.back() == last) break;
    }
    return names;
  }

  std::string xprop(const std::string& property) {
    return run("xprop -id " + xid + " " + property + " 2>/dev/null");
  }
  bool waitForXprop(const std::string& property, const std::string& text, bool present = true) {
    return waitFor([&] { return (xprop(property).find(text) != std::string::npos) == present; },
                   5s);
  }

  static double number(const ChannelValue& map, const char* key) {
    const ChannelValue* v = map.asMap() != nullptr ? map.asMap()->find(key) : nullptr;
    return v != nullptr && v->is<double>() ? v->get<double>() : -1;
  }

  Ui ui;
  std::string xid;
};

TEST_F(WindowHostTest, BoundsRoundTripAndSizeLimits) {
  const ChannelValue bounds =
      ChannelMap{{"x", 40.0}, {"y", 60.0}, {"width", 640.0}, {"height", 480.0}};
  EXPECT_EQ(call("setBounds", bounds), ChannelValue(true));
  EXPECT_TRUE(waitFor([&] { return call("getBounds") == bounds; }, 5s)) << "bounds did not settle";
  const int titleBar = static_cast<int>(call("getTitleBarHeight").get<int32_t>());
  EXPECT_GT(titleBar, 0);
  EXPECT_LT(titleBar, 100);

  // The limits hold against a resize from outside.
  call("setMinimumSize", ChannelMap{{"width", 500.0}, {"height", 400.0}});
  call("setMaximumSize", ChannelMap{{"width", 700.0}, {"height", 600.0}});
  run("xdotool windowsize " + xid + " 200 200");
  EXPECT_TRUE(waitFor([&] { return number(call("getBounds"), "width") == 500.0; }, 5s));
  run("xdotool windowsize " + xid + " 1200 1000");
  EXPECT_TRUE(waitFor([&] { return number(call("getBounds"), "width") == 700.0; }, 5s));
  EXPECT_EQ(call("getId"), ChannelValue(static_cast<int32_t>(std::stol(xid))));
}

TEST_F(WindowHostTest, MaximizeMinimizeAndFullScreenWithTheirEvents) {
  // The request's "maximize", then a resize, then the state's "maximize".
  EXPECT_EQ(call("maximize"), ChannelValue(true));
  auto events = eventsUntil("maximize");
  ASSERT_FALSE(events.empty());
  events = eventsUntil("maximize");
  EXPECT_NE(std::find(events.begin(), events.end(), "resize"), events.end());
  EXPECT_EQ(events.back(), "maximize");
  EXPECT_EQ(call("isMaximized"), ChannelValue(true));
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_MAXIMIZED_VERT"));

  call("unmaximize");
  events = eventsUntil("unmaximize");
  const auto request = std::find(events.begin(), events.end(), "maximize");
  EXPECT_NE(request, events.end());
  EXPECT_NE(std::find(request, events.end(), "resize"), events.end());
  EXPECT_EQ(events.back(), "unmaximize");
  EXPECT_EQ(call("isMaximized"), ChannelValue(false));

  call("minimize");
  EXPECT_EQ(eventsUntil("minimize").back(), "minimize");
  EXPECT_EQ(call("isMinimized"), ChannelValue(true));
  call("restore");
  EXPECT_EQ(eventsUntil("restore").back(), "restore");
  EXPECT_EQ(call("isMinimized"), ChannelValue(false));

  call("setFullScreen", ChannelMap{{"isFullScreen", true}});
  EXPECT_EQ(eventsUntil("enter-full-screen").back(), "enter-full-screen");
  EXPECT_EQ(call("isFullScreen"), ChannelValue(true));
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_FULLSCREEN"));
  call("setFullScreen", ChannelMap{{"isFullScreen", false}});
  EXPECT_EQ(eventsUntil("leave-full-screen").back(), "leave-full-screen");
}

TEST_F(WindowHostTest, PreventCloseKeepsTheWindowAndTheUiHearsClose) {
  call("setPreventClose", ChannelMap{{"isPreventClose", true}});
  run("wmctrl -i -c " + xid);
  EXPECT_EQ(eventsUntil("close").back(), "close");
  call("close");
  EXPECT_EQ(eventsUntil("close").back(), "close");
  EXPECT_TRUE(host->running());
  EXPECT_EQ(call("isVisible"), ChannelValue(true));

  call("setPreventClose", ChannelMap{{"isPreventClose", false}});
  ui.call(kWindowManager, "close");
  EXPECT_EQ(host->waitExit(10s), std::optional<int>(0));
}

TEST_F(WindowHostTest, WindowManagerStateTitleAndOpacity) {
  call("setAlwaysOnTop", ChannelMap{{"isAlwaysOnTop", true}});
  call("setSkipTaskbar", ChannelMap{{"isSkipTaskbar", true}});
  call("setVisibleOnAllWorkspaces", ChannelMap{{"visible", true}, {"visibleOnFullScreen", false}});
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_ABOVE"));
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"));
  EXPECT_TRUE(waitForXprop("_NET_WM_DESKTOP", "4294967295"));
  EXPECT_EQ(call("isAlwaysOnTop"), ChannelValue(true));
  call("setAlwaysOnTop", ChannelMap{{"isAlwaysOnTop", false}});
  call("setSkipTaskbar", ChannelMap{{"isSkipTaskbar", false}});
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_ABOVE", false));
  EXPECT_TRUE(waitForXprop("_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR", false));

  call("setTitle", ChannelMap{{"title", "Vertrag – signiert"}});
  EXPECT_TRUE(waitForXprop("_NET_WM_NAME", "Vertrag – signiert"));
  EXPECT_EQ(call("getTitle"), ChannelValue("Vertrag – signiert"));

  call("setOpacity", ChannelMap{{"opacity", 0.5}});
  // GTK keeps 8 bits: 128/255 of the full 32-bit range.
  EXPECT_TRUE(waitForXprop("_NET_WM_WINDOW_OPACITY", "2155905152"));
  EXPECT_EQ(call("getOpacity"), ChannelValue(0.5));
}

TEST_F(WindowHostTest, BackgroundColourAndFramelessShowOnScreen) {
  const ChannelValue bounds =
      ChannelMap{{"x", 100.0}, {"y", 100.0}, {"width", 400.0}, {"height", 300.0}};
  call("setBounds", bounds);
  ASSERT_TRUE(waitFor([&] { return call("getBounds") == bounds; }, 5s));
  call("setBackgroundColor", ChannelMap{{"backgroundColorA", int32_t{255}},
                                        {"backgroundColorR", int32_t{255}},
                                        {"backgroundColorG", int32_t{0}},
                                        {"backgroundColorB", int32_t{0}}});
  host->sleepUntil(1500ms);  // the splash has faded
  const std::string shot = (dir / "shot.png").string();
  const auto isRed = [](const std::string& colour) {
    return colour.find("srgb(255,0,0)") != std::string::npos ||
           colour.find("red") != std::string::npos;
  };
  const auto pixel = [&](int x, int y) {
    run("import -window root " + shot);
    return run("convert " + shot + " -format '%[pixel:p{" + std::to_string(x) + "," +
               std::to_string(y) + "}]' info:");
  };
  EXPECT_TRUE(waitFor([&] { return isRed(pixel(300, 300)); }, 5s)) << pixel(300, 300);

  // Frameless: the window manager's title bar is gone from its row (the
  // content's menu bar shows there now).
  const int titleRow = 100 + call("getTitleBarHeight").get<int32_t>() / 2;
  const std::string titleBar = pixel(300, titleRow);
  EXPECT_FALSE(isRed(titleBar));
  call("setAsFrameless");
  EXPECT_TRUE(waitFor([&] { return call("getTitleBarHeight") == ChannelValue(int32_t{0}); }, 5s));
  call("setBounds", bounds);
  EXPECT_TRUE(waitFor([&] { return pixel(300, titleRow) != titleBar; }, 5s)) << titleBar;
}

TEST_F(WindowHostTest, ScreensAndCursorInTopLeftCoordinates) {
  const ChannelValue primary = call("getPrimaryDisplay", {}, kScreens);
  // Xvfb's one screen is 1440 by 900 (the dummy driver's first output differs).
  if (std::getenv("VELLUMARK_XORG_DUMMY") == nullptr) {
    EXPECT_EQ(primary.asMap()->find("size")->asMap()->find("width")->get<double>(), 1440.0);
  }
  EXPECT_NE(*primary.asMap()->find("id"), ChannelValue("0"));
  const ChannelValue all = call("getAllDisplays", {}, kScreens);
  EXPECT_GE(all.asMap()->find("displays")->asList()->size(), 1u);
  run("xdotool mousemove 100 800");
  EXPECT_TRUE(waitFor(
      [&] {
        return call("getCursorScreenPoint", {}, kScreens) ==
               ChannelValue(ChannelMap{{"dx", 100.0}, {"dy", 800.0}});
      },
      5s));
}

// openbox margins in a private rc.xml, for as long as the object lives: the
// previous rc.xml (or none) comes back and openbox reloads it even when the
// test fails, so later tests see the whole screen again.
class OpenboxMargins {
 public:
  struct Margins {
    int top = 0, left = 0, right = 0, bottom = 0;
  };

  // The first desktop's workarea, as _NET_WORKAREA lists it: x, y, width,
  // height.
  static std::vector<long> workarea() {
    const std::string out = run("xprop -root _NET_WORKAREA 2>/dev/null");
    std::vector<long> area;
    const auto equals = out.find('=');
    if (equals == std::string::npos) return area;
    std::istringstream in(out.substr(equals + 1));
    long value = 0;
    char comma = 0;
    while (area.size() < 4 && in >> value) {
      area.push_back(value);
      in >> comma;
    }
    return area;
  }

  // Applies `margins`; check applied() before relying on them.
  explicit OpenboxMargins(Margins margins) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config == nullptr) return;
    rcXml_ = fs::path(config) / "openbox/rc.xml";
    original_ = workarea();
    if (original_.size() != 4) return;
    std::string rc = readFile("/etc/xdg/openbox/rc.xml");
    const auto begin = rc.find("<margins>");
    const auto end = rc.find("</margins>");
    if (begin == std::string::npos || end == std::string::npos) return;
    if (fs::exists(rcXml_)) previous_ = readFile(rcXml_);
    std::ostringstream section;
    section << "<margins><top>" << margins.top << "</top><bottom>" << margins.bottom
            << "</bottom><left>" << margins.left << "</left><right>" << margins.right << "</right>";
    rc.replace(begin, end - begin, section.str());
    fs::create_directories(rcXml_.parent_path());
    std::ofstream(rcXml_) << rc;
    touched_ = true;
    const std::vector<long> wanted{original_[0] + margins.left, original_[1] + margins.top,
                                   original_[2] - margins.left - margins.right,
                                   original_[3] - margins.top - margins.bottom};
    applied_ = reconfigureUntil(wanted);
  }
  ~OpenboxMargins() { restore(); }
  OpenboxMargins(const OpenboxMargins&) = delete;
  OpenboxMargins& operator=(const OpenboxMargins&) = delete;

  bool applied() const { return applied_; }

  void restore() {
    if (!touched_) return;
    touched_ = false;
    if (previous_) {
      std::ofstream(rcXml_) << *previous_;
    } else {
      fs::remove(rcXml_);
    }
    EXPECT_TRUE(reconfigureUntil(original_)) << "openbox kept the margins";
  }

 private:
  static bool reconfigureUntil(const std::vector<long>& area) {
    run("openbox --reconfigure 2>/dev/null");
    return waitFor([&] { return workarea() == area; }, 5s);
  }

  fs::path rcXml_;
  std::optional<std::string> previous_;
  std::vector<long> original_;
  bool touched_ = false;
  bool applied_ = false;
};

// The host starts after the window manager has set aside the margins.
class WindowWorkareaHostTest : public WindowHostTest {
 protected:
  static constexpr OpenboxMargins::Margins kMargins{30, 40, 0, 50};

  void SetUp() override {
    // Never rewrite the openbox settings of a real desktop.
    if (std::getenv("DISPLAY") == nullptr || std::getenv("VELLUMARK_TEST_ENV_ROOT") == nullptr) {
      GTEST_SKIP() << "needs the test environment's display (with-test-env.sh)";
    }
    margins_.emplace(kMargins);
    ASSERT_TRUE(margins_->applied()) << "openbox did not take the margins";
    WindowHostTest::SetUp();
  }

  // The primary display's visible frame: dx, dy, width, height.
  std::vector<double> visibleFrame(const ChannelValue& display) {
    const ChannelMap* map = display.asMap();
    const ChannelValue* position = map != nullptr ? map->find("visiblePosition") : nullptr;
    const ChannelValue* size = map != nullptr ? map->find("visibleSize") : nullptr;
    if (position == nullptr || size == nullptr) return {};
    return {number(*position, "dx"), number(*position, "dy"), number(*size, "width"),
            number(*size, "height")};
  }

  std::optional<OpenboxMargins> margins_;
};

TEST_F(WindowWorkareaHostTest, VisibleFrameIsTheScreenLessTheWorkareaMargins) {
  const ChannelValue primary = call("getPrimaryDisplay", {}, kScreens);
  ASSERT_NE(primary.asMap(), nullptr);
  const ChannelValue& size = *primary.asMap()->find("size");
  const double width = number(size, "width");
  const double height = number(size, "height");
  // Top-left coordinates: the top and left margins are the visible origin.
  EXPECT_EQ(visibleFrame(primary), (std::vector<double>{kMargins.left, kMargins.top,
                                                        width - kMargins.left - kMargins.right,
                                                        height - kMargins.top - kMargins.bottom}));
  const ChannelValue all = call("getAllDisplays", {}, kScreens);
  EXPECT_EQ(all.asMap()->find("displays")->asList()->front(), primary);

  // A running host follows the workarea back to the whole screen.
  margins_->restore();
  EXPECT_TRUE(waitFor(
      [&] {
        return visibleFrame(call("getPrimaryDisplay", {}, kScreens)) ==
               std::vector<double>{0, 0, width, height};
      },
      5s))
      << "the visible frame kept the margins";
}

}  // namespace
}  // namespace vellumark::host_test

namespace vellumark::host_test {
namespace {

// Monitors come and go on Xorg's dummy driver (tests/env/with-xorg-dummy.sh).
class DisplayEventsHostTest : public WindowHostTest {
 protected:
  void SetUp() override {
    if (std::getenv("VELLUMARK_XORG_DUMMY") == nullptr) {
      GTEST_SKIP() << "needs Xorg's dummy driver (tests/env/with-xorg-dummy.sh)";
    }
    WindowHostTest::SetUp();
  }
  // The next display event within the wait, or "" when none came.
  std::string nextDisplayEvent(std::chrono::milliseconds wait) {
    while (auto message = ui.nextMessage(wait)) {
      if (message->channel != "marrowdene/screen_retriever_event") continue;
      auto envelope = StandardMethodCodec::sharedInstance()->decodeEnvelope(message->payload);
      const auto* value = std::get_if<ChannelValue>(&envelope);
      if (value != nullptr) return *value->asMap()->find("type")->asString();
    }
    return "";
  }
  size_t displayCount() {
    return call("getAllDisplays", {}, kScreens).asMap()->find("displays")->asList()->size();
  }
};

TEST_F(DisplayEventsHostTest, OneEventPerDisplayAddedOrRemovedNoneForAResolution) {
  ui.reply(ui.call("marrowdene/screen_retriever_event", "listen"));
  const std::string added =
      run("xrandr --output DUMMY1 --mode 1024x768 --right-of DUMMY0 2>&1; xrandr --listmonitors");
  EXPECT_EQ(nextDisplayEvent(5s), "display-added") << added;
  EXPECT_EQ(displayCount(), 2u);
  // The primary stays first.
  const ChannelValue all = call("getAllDisplays", {}, kScreens);
  EXPECT_EQ(*all.asMap()->find("displays")->asList()->front().asMap()->find("name"),
            *call("getPrimaryDisplay", {}, kScreens).asMap()->find("name"));

  run("xrandr --output DUMMY0 --mode 1024x768");
  run("xrandr --output DUMMY1 --off");
  EXPECT_EQ(nextDisplayEvent(5s), "display-removed");
  // Nothing more: the resolution change sent nothing, the removal one event.
  EXPECT_EQ(nextDisplayEvent(1s), "");
  EXPECT_EQ(displayCount(), 1u);
}

}  // namespace
}  // namespace vellumark::host_test
