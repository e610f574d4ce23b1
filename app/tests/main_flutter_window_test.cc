#include "main_flutter_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app_delegate.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_app_shell.h"

namespace vellumark {
namespace {

using platform::Rect;
using platform::fakes::FakeApplication;
using platform::fakes::FakeImage;
using platform::fakes::FakeMenu;
using platform::fakes::FakeMenuItem;
using platform::fakes::FakeShellView;
using platform::fakes::FakeWindow;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

constexpr Rect kWindowFrame{100, 200, 800, 628};
constexpr Rect kUiBounds{0, 0, 800, 600};

class MainFlutterWindowTest : public ::testing::Test {
 protected:
  // Wakes a window whose plugin registration records into the shell log.
  MainFlutterWindow& wake() {
    window = std::make_unique<MainFlutterWindow>(app, nativeWindow, services(), &delegate,
                                                 [this](FlutterPluginRegistry&) {
                                                   app.log()->push_back("registerPlugins");
                                                   if (onRegister) onRegister();
                                                 });
    window->awakeFromNib();
    return *window;
  }

  FakeShellView* splashView() {
    auto* ui = app.lastUiView();
    if (ui == nullptr || ui->subviews().empty()) return nullptr;
    return dynamic_cast<FakeShellView*>(ui->subviews().back().get());
  }

  platform::Services services() const {
    platform::Services s;
    s.mainQueue = queue;
    return s;
  }

  std::vector<MethodCall> menuCalls(testing::TestUi& ui) {
    return ui.methodCallsOn(kMenuChannelName);
  }

  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
  FakeApplication app{queue, std::make_shared<std::vector<std::string>>(), kUiBounds};
  FakeWindow nativeWindow{app.log(), kWindowFrame};
  AppDelegate delegate;
  std::function<void()> onRegister;
  std::unique_ptr<MainFlutterWindow> window;
};

// ---- start-up ---------------------------------------------------------------

TEST_F(MainFlutterWindowTest, StartUpRunsInItsFixedOrder) {
  // By registration time the channel and the splash must already exist.
  bool channelAtRegistration = false;
  bool splashAtRegistration = false;
  onRegister = [&] {
    channelAtRegistration = window->menuChannel() != nullptr;
    splashAtRegistration = splashView() != nullptr;
  };
  wake();

  EXPECT_THAT(*app.log(),
              ElementsAre("app.makeUiView", "window.frame", "window.setContentView",
                          "window.setFrame(display)", "window.setBackgroundColor",
                          "window.setOpaque", "app.makeView", "app.imageNamed", "app.makeImageView",
                          "view.addSubview", "uiView.addSubview", "registerPlugins"));
  EXPECT_TRUE(channelAtRegistration);
  EXPECT_TRUE(splashAtRegistration);
  EXPECT_EQ(nativeWindow.contentView(), app.lastUiView());
  // The engine's view is the registrar's view.
  EXPECT_EQ(window->viewController()->registrarForPlugin("X").view(), app.lastUiView());
}

TEST_F(MainFlutterWindowTest, KeepsTheFrameTheContentViewWouldChange) {
  nativeWindow.frameAfterSetContent = Rect{0, 0, 10, 10};
  wake();
  EXPECT_EQ(nativeWindow.frame(), kWindowFrame);
}

TEST_F(MainFlutterWindowTest, BackgroundIs124E98AndOpaque) {
  wake();
  ASSERT_TRUE(nativeWindow.backgroundColor().has_value());
  const platform::Color c = *nativeWindow.backgroundColor();
  EXPECT_DOUBLE_EQ(c.red, 18.0 / 255.0);
  EXPECT_DOUBLE_EQ(c.green, 78.0 / 255.0);
  EXPECT_DOUBLE_EQ(c.blue, 152.0 / 255.0);
  EXPECT_DOUBLE_EQ(c.alpha, 1.0);
  EXPECT_TRUE(nativeWindow.opaque());
}

TEST_F(MainFlutterWindowTest, WakingTwiceDoesNotRebuild) {
  wake();
  const size_t logged = app.log()->size();
  window->awakeFromNib();
  EXPECT_EQ(app.log()->size(), logged);
}

// ---- splash -----------------------------------------------------------------

TEST_F(MainFlutterWindowTest, SplashCoversTheViewWithTheIconCentred) {
  wake();
  FakeShellView* splash = splashView();
  ASSERT_NE(splash, nullptr);
  EXPECT_EQ(splash->frame(), kUiBounds);
  EXPECT_EQ(splash->autoresizingMask(), 18u);
  EXPECT_EQ(splash->backgroundColor(), kBackgroundColor);

  ASSERT_EQ(splash->subviews().size(), 1u);
  auto* icon = dynamic_cast<FakeShellView*>(splash->subviews()[0].get());
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->frame(), (Rect{336, 236, 128, 128}));
  EXPECT_EQ(icon->autoresizingMask(), 45u);
  auto* image = dynamic_cast<FakeImage*>(icon->image().get());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->name, "AppIcon");
}

TEST_F(MainFlutterWindowTest, SplashHoldsHalfASecondThenFadesForPointThreeAndGoes) {
  wake();
  FakeShellView* splash = splashView();
  ASSERT_NE(splash, nullptr);

  queue->advance(499ms);
  EXPECT_FALSE(splash->animating());
  EXPECT_EQ(splash->alphaValue(), 1.0);

  queue->advance(1ms);
  EXPECT_TRUE(splash->animating());

  queue->advance(299ms);
  EXPECT_TRUE(splash->hasSuperview());

  queue->advance(1ms);
  queue->runUntilIdle();
  EXPECT_TRUE(app.lastUiView()->subviews().empty());
  EXPECT_EQ(window->splash(), nullptr);
}

TEST_F(MainFlutterWindowTest, WithoutAnIconTheSplashIsPlainAndStillFades) {
  app.images.clear();
  wake();
  FakeShellView* splash = splashView();
  ASSERT_NE(splash, nullptr);
  EXPECT_TRUE(splash->subviews().empty());
  EXPECT_EQ(splash->backgroundColor(), kBackgroundColor);
  EXPECT_EQ(std::count(app.log()->begin(), app.log()->end(), "app.makeImageView"), 0);

  queue->advance(800ms);
  queue->runUntilIdle();
  EXPECT_TRUE(app.lastUiView()->subviews().empty());
}

TEST_F(MainFlutterWindowTest, DeferredWorkAfterTheWindowIsGoneDoesNothing) {
  FakeMenu& mainMenu = app.addMainMenu();
  FakeMenuItem& settings = mainMenu.addItem("Vellumark").addSubmenu().addItem("Settings", ",");
  wake();
  window.reset();
  queue->advance(1s);
  queue->runUntilIdle();
  EXPECT_FALSE(settings.hasAction());
}

// ---- menu -------------------------------------------------------------------

TEST_F(MainFlutterWindowTest, SettingsItemIsFoundByItsShortcutAndSendsOpenPreferences) {
  FakeMenu& appMenu = app.addMainMenu().addItem("Vellumark").addSubmenu();
  FakeMenuItem& about = appMenu.addItem("About", "");
  FakeMenuItem& settings = appMenu.addItem("Whatever the title", ",");
  wake();
  testing::TestUi ui(window->viewController()->engine().binaryMessenger());

  // Wiring waits for the main queue.
  EXPECT_FALSE(settings.hasAction());
  queue->runUntilIdle();
  EXPECT_FALSE(about.hasAction());
  ASSERT_TRUE(settings.hasAction());
  EXPECT_EQ(settings.selector(), "openPreferences:");

  EXPECT_TRUE(settings.perform());
  const auto calls = menuCalls(ui);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "openPreferences");
  EXPECT_TRUE(calls[0].arguments.isNull());
  // Sent without awaiting an answer.
  ASSERT_EQ(ui.received().size(), 1u);
  EXPECT_FALSE(ui.received()[0].reply);
}

TEST_F(MainFlutterWindowTest, FirstItemWithTheShortcutWins) {
  FakeMenu& appMenu = app.addMainMenu().addItem("Vellumark").addSubmenu();
  FakeMenuItem& first = appMenu.addItem("Preferences", ",");
  FakeMenuItem& second = appMenu.addItem("Settings", ",");
  wake();
  queue->runUntilIdle();
  EXPECT_TRUE(first.hasAction());
  EXPECT_FALSE(second.hasAction());
}

TEST_F(MainFlutterWindowTest, MenusOfAnUnexpectedShapeAreLeftAlone) {
  struct Shape {
    const char* name;
    std::function<std::vector<FakeMenuItem*>(FakeApplication&)> build;
  };
  const std::vector<Shape> shapes = {
      {"no main menu", [](FakeApplication&) { return std::vector<FakeMenuItem*>{}; }},
      {"empty main menu",
       [](FakeApplication& a) {
         a.addMainMenu();
         return std::vector<FakeMenuItem*>{};
       }},
      {"first item without submenu, settings in the second",
       [](FakeApplication& a) {
         FakeMenu& m = a.addMainMenu();
         FakeMenuItem& plain = m.addItem("Vellumark", ",");
         FakeMenuItem& later = m.addItem("Edit").addSubmenu().addItem("Settings", ",");
         return std::vector<FakeMenuItem*>{&plain, &later};
       }},
      {"no item with the shortcut",
       [](FakeApplication& a) {
         FakeMenu& sub = a.addMainMenu().addItem("Vellumark").addSubmenu();
         FakeMenuItem& near1 = sub.addItem("Settings", "<");
         FakeMenuItem& near2 = sub.addItem("Settings", ",,");
         FakeMenuItem& near3 = sub.addItem("Settings", "");
         return std::vector<FakeMenuItem*>{&near1, &near2, &near3};
       }},
      {"shortcut only in a nested submenu",
       [](FakeApplication& a) {
         FakeMenu& sub = a.addMainMenu().addItem("Vellumark").addSubmenu();
         FakeMenuItem& nested = sub.addItem("More").addSubmenu().addItem("Settings", ",");
         return std::vector<FakeMenuItem*>{&nested};
       }},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    FakeApplication shapeApp(queue);
    FakeWindow shapeWindow(shapeApp.log(), kWindowFrame);
    auto items = shape.build(shapeApp);
    MainFlutterWindow w(shapeApp, shapeWindow, services(), nullptr, [](FlutterPluginRegistry&) {});
    w.awakeFromNib();
    queue->runUntilIdle();
    for (FakeMenuItem* item : items) EXPECT_FALSE(item->hasAction());
  }
}

TEST_F(MainFlutterWindowTest, OpenPreferencesBeforeTheChannelExistsSendsNothing) {
  window = std::make_unique<MainFlutterWindow>(app, nativeWindow, services(), nullptr,
                                               [](FlutterPluginRegistry&) {});
  EXPECT_EQ(window->menuChannel(), nullptr);
  window->openPreferences();  // no channel, no engine: nothing happens

  window->awakeFromNib();
  testing::TestUi ui(window->viewController()->engine().binaryMessenger());
  EXPECT_TRUE(menuCalls(ui).empty());  // the early call was not kept for later
  window->openPreferences();
  EXPECT_EQ(menuCalls(ui).size(), 1u);
}

TEST_F(MainFlutterWindowTest, OpenPreferencesWithoutAUiIsHeldUntilOneConnects) {
  wake();
  window->openPreferences();
  testing::TestUi ui(window->viewController()->engine().binaryMessenger());
  ASSERT_EQ(menuCalls(ui).size(), 1u);
  EXPECT_EQ(menuCalls(ui)[0].method, "openPreferences");
}

// ---- application delegate ---------------------------------------------------

class RecordingLifecycle : public FlutterAppLifecycleDelegate {
 public:
  explicit RecordingLifecycle(std::vector<std::string>& log) : log_(log) {}
  void handleWillFinishLaunching() override { log_.push_back("willFinishLaunching"); }
  bool handleOpenURLs(const std::vector<std::string>& urls) override {
    log_.push_back("open " + urls.at(0));
    return true;
  }
  void handleWillTerminate() override { log_.push_back("willTerminate"); }

 private:
  std::vector<std::string>& log_;
};

TEST_F(MainFlutterWindowTest, PluginApplicationDelegatesHearTheApplicationEvents) {
  std::vector<std::string> events;
  window = std::make_unique<MainFlutterWindow>(
      app, nativeWindow, services(), &delegate, [&](FlutterPluginRegistry& registry) {
        registry.registrarForPlugin("AppLinksMacosPlugin")
            .addApplicationDelegate(std::make_shared<RecordingLifecycle>(events));
      });
  window->awakeFromNib();

  delegate.applicationWillFinishLaunching();
  delegate.applicationOpenURLs({"vellumark://open?x=1"});
  delegate.applicationWillTerminate();
  EXPECT_THAT(events,
              ElementsAre("willFinishLaunching", "open vellumark://open?x=1", "willTerminate"));

  // Once the window is gone the delegate no longer points into its engine.
  window.reset();
  EXPECT_EQ(delegate.lifecycleRegistry(), nullptr);
  delegate.applicationWillTerminate();
  EXPECT_EQ(events.size(), 3u);
}

TEST(AppDelegateTest, ClosingTheLastWindowTerminates) {
  AppDelegate delegate;
  EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState());
}

}  // namespace
}  // namespace vellumark
