// Commands on the "window_manager" channel: the method table, the geometry
// rules, styling and the dock tile, and what happens before initialisation
// or with arguments the UI never sends.
#include <cmath>
#include <functional>

#include "window_manager_test_support.h"

namespace vellumark::window_manager_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace style = platform::window_style;

TEST_F(WindowManagerTest, EveryMethodIsMatchedExactlyAndInOrder) {
  const auto names = WindowManagerPlugin::methodNames();
  ASSERT_EQ(names.size(), 61u);
  EXPECT_EQ(names.front(), "ensureInitialized");
  EXPECT_EQ(names[30], "getBounds");
  EXPECT_EQ(names.back(), "startDragging");
  init();
  for (std::string_view name : names) {
    if (name == "destroy" || name == "close") continue;  // end the test's window
    auto response = ui.call(kChannel, std::string(name));
    ASSERT_TRUE(response.has_value()) << name;
    EXPECT_TRUE(std::holds_alternative<ChannelValue>(*response)) << name;
  }
  for (const char* name : {"EnsureInitialized", "getbounds", "setBounds ", "", "onEvent"}) {
    auto response = ui.call(kChannel, name);
    ASSERT_TRUE(response.has_value()) << name;
    EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(*response)) << name;
  }
}

// Each setter reaches its window operation and each query reads it back.
TEST_F(WindowManagerTest, SettersReachTheWindowAndQueriesReadIt) {
  init();
  struct Row {
    const char* setter;
    ChannelValue arguments;
    const char* query;
    ChannelValue expected;
  };
  const Row rows[] = {
      {"setResizable", args({{"isResizable", false}}), "isResizable", false},
      {"setMovable", args({{"isMovable", false}}), "isMovable", false},
      {"setMinimizable", args({{"isMinimizable", false}}), "isMinimizable", false},
      {"setClosable", args({{"isClosable", false}}), "isClosable", false},
      {"setAlwaysOnTop", args({{"isAlwaysOnTop", true}}), "isAlwaysOnTop", true},
      {"setTitle", args({{"title", "Vertrag.pdf"}}), "getTitle", "Vertrag.pdf"},
      {"setSkipTaskbar", args({{"isSkipTaskbar", true}}), "isSkipTaskbar", true},
      {"setVisibleOnAllWorkspaces", args({{"visible", true}, {"visibleOnFullScreen", true}}),
       "isVisibleOnAllWorkspaces", true},
      {"setHasShadow", args({{"hasShadow", false}}), "hasShadow", false},
      {"setOpacity", args({{"opacity", 0.5}}), "getOpacity", 0.5},
      {"setOpacity", args({{"opacity", int32_t{1}}}), "getOpacity", 1.0},
      {"setPreventClose", args({{"isPreventClose", true}}), "isPreventClose", true},
      {"setMaximizable", args({{"isMaximizable", false}}), "isMaximizable", false},
      {"setFullScreen", args({{"isFullScreen", true}}), "isFullScreen", true},
      {"setFullScreen", args({{"isFullScreen", true}}), "isFullScreen", true},
      {"setFullScreen", args({{"isFullScreen", false}}), "isFullScreen", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setter);
    expectTrue(row.setter, row.arguments);
    EXPECT_EQ(call(row.query), row.expected);
  }
  EXPECT_EQ(window().style & style::kTitled, style::kTitled);
  EXPECT_EQ(window().levelValue, platform::window_level::kFloating);
  EXPECT_EQ(window().behavior, 257u);
  EXPECT_EQ(window().shadowInvalidations, 1);
  EXPECT_EQ(system->policy, platform::ActivationPolicy::kAccessory);

  expectTrue("setAlwaysOnTop", args({{"isAlwaysOnTop", false}}));
  EXPECT_EQ(window().levelValue, platform::window_level::kNormal);
  expectTrue("setVisibleOnAllWorkspaces",
             args({{"visible", false}, {"visibleOnFullScreen", true}}));
  EXPECT_EQ(window().behavior, 256u);
  EXPECT_EQ(call("getId"), ChannelValue(int32_t{4711}));
}

TEST_F(WindowManagerTest, FixedAnswersAndNoOps) {
  init();
  EXPECT_EQ(call("isDockable"), ChannelValue(false));
  const ChannelValue docked = call("isDocked");
  EXPECT_TRUE(docked.is<int32_t>());
  EXPECT_EQ(docked, ChannelValue(int32_t{0}));
  for (const char* method : {"dock", "undock", "waitUntilReadyToShow"}) expectTrue(method);

  // A zoomed window is not zoomed again, an unzoomed one not restored.
  expectTrue("unmaximize");
  EXPECT_FALSE(window().zoomed);
  window().zoomed = true;
  expectTrue("maximize");
  EXPECT_TRUE(window().zoomed);
  EXPECT_EQ(window().frameValue, (Rect{100, 200, 800, 600}));
  EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(WindowManagerTest, BoundsAreTopLeftAgainstThePrimaryScreen) {
  init();
  EXPECT_EQ(call("getBounds"),
            args({{"x", 100.0}, {"y", 280.0}, {"width", 800.0}, {"height", 600.0}}));

  // A size alone keeps the top edge where it is.
  expectTrue("setBounds", args({{"width", int32_t{1000}}, {"height", int32_t{500}}}));
  EXPECT_EQ(window().frameValue, (Rect{100, 300, 1000, 500}));
  EXPECT_FALSE(window().lastAnimate);

  // The origin goes to the primary screen's top-left corner.
  expectTrue("setBounds", args({{"x", 0.0}, {"y", 0.0}, {"animate", true}}));
  EXPECT_EQ(window().frameValue, (Rect{0, 580, 1000, 500}));
  EXPECT_TRUE(window().lastAnimate);
  EXPECT_EQ(call("getBounds"),
            args({{"x", 0.0}, {"y", 0.0}, {"width", 1000.0}, {"height", 500.0}}));

  // Half a pair changes nothing of that pair; the position uses the new height.
  expectTrue("setBounds", args({{"width", 10.0}, {"x", 5.0}, {"animate", "yes"}}));
  EXPECT_EQ(window().frameValue, (Rect{0, 580, 1000, 500}));
  EXPECT_FALSE(window().lastAnimate);
  expectTrue("setBounds", args({{"x", 10.0}, {"y", 20.0}, {"width", 400.0}, {"height", 300.0}}));
  EXPECT_EQ(window().frameValue, (Rect{10, 760, 400, 300}));

  // With no screen the primary counts as 0 high.
  screens->list.clear();
  EXPECT_EQ(field(call("getBounds"), "y"), ChannelValue(-1060.0));
}

TEST_F(WindowManagerTest, SizeLimitsPassThroughSinglePrecision) {
  init();
  expectTrue("setMinimumSize", args({{"width", 0.1}, {"height", int32_t{200}}}));
  EXPECT_EQ(window().minSize, (platform::Size{static_cast<double>(0.1f), 200}));
  EXPECT_NE(window().minSize.width, 0.1);
  expectTrue("setMaximumSize", args({{"width", 1e39}, {"height", 600.0}}));
  EXPECT_TRUE(std::isinf(window().maxSize.width));
  EXPECT_EQ(window().maxSize.height, 600.0);
}

TEST_F(WindowManagerTest, BackgroundColourAndAspectRatio) {
  init();
  const auto colour = [](int32_t a, int32_t r, int32_t g, int32_t b) {
    return args({{"backgroundColorA", a},
                 {"backgroundColorR", r},
                 {"backgroundColorG", g},
                 {"backgroundColorB", b}});
  };
  expectTrue("setBackgroundColor", colour(0, 0, 0, 0));
  EXPECT_EQ(window().backgroundColor, (platform::Color{0, 0, 0, 0}));
  expectTrue("setBackgroundColor", colour(255, 0, 0, 0));
  EXPECT_EQ(window().backgroundColor, (platform::Color{0, 0, 0, 1}));
  expectTrue("setBackgroundColor", colour(0, 255, 51, 0));
  EXPECT_EQ(window().backgroundColor, (platform::Color{1, 0.2, 0, 0}));

  expectTrue("setAspectRatio", args({{"aspectRatio", 1.5}}));
  EXPECT_EQ(window().contentAspectRatio, (platform::Size{1.5, 1}));
  window().style |= style::kFullSizeContentView;
  expectTrue("setAspectRatio", args({{"aspectRatio", int32_t{2}}}));
  EXPECT_EQ(window().aspectRatio, (platform::Size{2, 1}));
  for (double none : {0.0, -1.0, std::nan("")}) {
    window().resizeIncrements = {};
    expectTrue("setAspectRatio", args({{"aspectRatio", none}}));
    EXPECT_EQ(window().resizeIncrements, (platform::Size{1, 1})) << none;
    EXPECT_EQ(window().aspectRatio, (platform::Size{0, 0}));
    EXPECT_EQ(window().contentAspectRatio, (platform::Size{0, 0}));
  }
}

TEST_F(WindowManagerTest, FramelessAndTitleBarStyles) {
  init();
  window().shadow = true;
  expectTrue("setAsFrameless");
  EXPECT_TRUE(window().style & style::kFullSizeContentView);
  EXPECT_EQ(window().titleVisibilityValue, platform::TitleVisibility::kHidden);
  EXPECT_TRUE(window().opaque);
  EXPECT_FALSE(window().shadow);
  EXPECT_EQ(window().backgroundColor, (platform::Color{0, 0, 0, 0}));
  EXPECT_TRUE(window().titlebarContainerHidden);

  expectTrue("setTitleBarStyle",
             args({{"titleBarStyle", "normal"}, {"windowButtonVisibility", false}}));
  EXPECT_FALSE(window().style & style::kFullSizeContentView);
  EXPECT_EQ(window().titleVisibilityValue, platform::TitleVisibility::kVisible);
  EXPECT_FALSE(window().titlebarTransparent);
  EXPECT_FALSE(window().opaque);
  EXPECT_TRUE(window().shadow);
  EXPECT_FALSE(window().titlebarContainerHidden);
  EXPECT_THAT(window().buttonsHidden, ElementsAre(true, true, true));

  expectTrue("setTitleBarStyle",
             args({{"titleBarStyle", "hidden"}, {"windowButtonVisibility", true}}));
  EXPECT_TRUE(window().style & style::kFullSizeContentView);
  EXPECT_TRUE(window().titlebarTransparent);
  EXPECT_THAT(window().buttonsHidden, ElementsAre(false, false, false));

  window().titleBarHeight = 28.9;
  EXPECT_EQ(call("getTitleBarHeight"), ChannelValue(int32_t{28}));

  expectTrue("setBrightness", args({{"brightness", "dark"}}));
  EXPECT_EQ(window().appearance, platform::Appearance::kVibrantDark);
  expectTrue("setBrightness", args({{"brightness", "Dark"}}));
  EXPECT_EQ(window().appearance, platform::Appearance::kVibrantLight);

  expectTrue("setIgnoreMouseEvents", args({{"ignore", true}, {"forward", true}}));
  EXPECT_TRUE(window().ignoresMouse);
  EXPECT_TRUE(window().acceptsMouseMoved);
  expectTrue("setIgnoreMouseEvents", args({{"ignore", false}, {"forward", true}}));
  EXPECT_FALSE(window().ignoresMouse);
  EXPECT_FALSE(window().acceptsMouseMoved);
}

TEST_F(WindowManagerTest, AlwaysOnTopPanelIsNonActivating) {
  window().panel = true;
  init();
  expectTrue("setAlwaysOnTop", args({{"isAlwaysOnTop", true}}));
  EXPECT_TRUE(window().style & style::kNonactivatingPanel);
  expectTrue("setAlwaysOnTop", args({{"isAlwaysOnTop", false}}));
  EXPECT_FALSE(window().style & style::kNonactivatingPanel);
}

TEST_F(WindowManagerTest, DockProgressRules) {
  auto& tile = system->tile;
  expectTrue("setBadgeLabel", args({{"label", "3"}}));
  EXPECT_EQ(tile.label, "3");

  expectTrue("setProgressBar", args({{"progress", 0.25}}));
  ASSERT_TRUE(tile.bar);
  EXPECT_EQ(*tile.bar, (platform::DockProgress{false, false, 0, 1, 0.25}));
  expectTrue("setProgressBar", args({{"progress", int32_t{-1}}}));
  EXPECT_TRUE(tile.bar->hidden);
  EXPECT_EQ(tile.bar->value, 0.25);
  expectTrue("setProgressBar", args({{"progress", 2.0}}));
  EXPECT_EQ(*tile.bar, (platform::DockProgress{false, true, 0, 1, 1.0}));
  // Indeterminate stays.
  expectTrue("setProgressBar", args({{"progress", 0.5}}));
  EXPECT_EQ(*tile.bar, (platform::DockProgress{false, true, 0, 1, 0.5}));
  EXPECT_EQ(tile.installs, 1);
  EXPECT_EQ(tile.displays, 4);
}

TEST_F(WindowManagerTest, DeferredHalvesRunOnTheNextTurn) {
  init();
  window().visible = false;
  expectTrue("show");
  EXPECT_THAT(window().log, ElementsAre("setIsVisible:true"));
  EXPECT_THAT(system->activations, IsEmpty());
  queue->runUntilIdle();
  EXPECT_THAT(window().log, ElementsAre("setIsVisible:true", "makeKeyAndOrderFront"));
  EXPECT_THAT(system->activations, ElementsAre(true));

  expectTrue("hide");
  expectTrue("startDragging");
  EXPECT_TRUE(window().visible);
  queue->runUntilIdle();
  EXPECT_FALSE(window().visible);
  EXPECT_THAT(window().log, ElementsAre("setIsVisible:true", "makeKeyAndOrderFront", "orderOut",
                                        "performWindowDrag"));

  expectTrue("focus");
  expectTrue("blur");
  EXPECT_THAT(system->activations, ElementsAre(true, false));
  EXPECT_EQ(window().log.back(), "orderBack");

  // The plugin gone, queued halves do nothing.
  expectTrue("hide");
  window().visible = true;
  registry.reset();
  messenger.setMessageHandler(kChannel, nullptr);
  queue->runUntilIdle();
  EXPECT_TRUE(window().visible);
}

TEST_F(WindowManagerTest, NothingActsBeforeInitialisation) {
  const ChannelValue noBounds = args({{"x", 0.0}, {"y", 0.0}, {"width", 0.0}, {"height", 0.0}});
  EXPECT_EQ(call("getBounds"), noBounds);
  for (const char* query : {"isFocused", "isVisible", "isMaximized", "isMinimized", "isFullScreen",
                            "isResizable", "isMovable", "hasShadow"}) {
    EXPECT_EQ(call(query), ChannelValue(false)) << query;
  }
  EXPECT_EQ(call("getId"), ChannelValue(int32_t{0}));
  EXPECT_EQ(call("getTitle"), ChannelValue(""));
  EXPECT_EQ(call("getOpacity"), ChannelValue(1.0));
  for (const char* command : {"close", "show", "hide", "maximize", "minimize", "focus",
                              "setAsFrameless", "startDragging"}) {
    expectTrue(command);
  }
  expectTrue("setBounds", args({{"x", 1.0}, {"y", 1.0}, {"width", 9.0}, {"height", 9.0}}));
  expectTrue("setTitle", args({{"title", "x"}}));
  queue->runUntilIdle();
  EXPECT_THAT(window().log, IsEmpty());
  EXPECT_FALSE(window().closed);
  EXPECT_FALSE(window().zoomed);
  EXPECT_EQ(window().titleValue, "");
  EXPECT_EQ(system->lookups, 0);

  // Application-wide switches need no window.
  expectTrue("setPreventClose", args({{"isPreventClose", true}}));
  EXPECT_EQ(call("isPreventClose"), ChannelValue(true));
  expectTrue("setSkipTaskbar", args({{"isSkipTaskbar", true}}));
  EXPECT_EQ(call("isSkipTaskbar"), ChannelValue(true));
  expectTrue("destroy");
  EXPECT_EQ(system->terminations, 1);
  EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(WindowManagerTest, InitialisationFindsTheViewsWindowOnce) {
  // The view is in no window yet: nothing is managed, a later call retries.
  auto found = system->window;
  system->window = nullptr;
  init();
  expectTrue("setTitle", args({{"title", "early"}}));
  system->window = found;
  init();
  init();
  EXPECT_EQ(system->lookups, 2);
  expectTrue("setTitle", args({{"title", "late"}}));
  EXPECT_EQ(window().titleValue, "late");
  EXPECT_FALSE(window().delegate.expired());
}

TEST_F(WindowManagerTest, MissingOrMistypedArgumentsChangeNothing) {
  init();
  const fakes::FakeWindowControl before = window();
  const ChannelValue wrong[] = {ChannelValue(), ChannelValue("true"), ChannelValue(int32_t{1}),
                                ChannelValue(ChannelList{})};
  const char* setters[][2] = {
      {"setResizable", "isResizable"},       {"setMovable", "isMovable"},
      {"setClosable", "isClosable"},         {"setAlwaysOnTop", "isAlwaysOnTop"},
      {"setHasShadow", "hasShadow"},         {"setFullScreen", "isFullScreen"},
      {"setPreventClose", "isPreventClose"}, {"setMaximizable", "isMaximizable"},
  };
  for (const auto& [setter, key] : setters) {
    for (const ChannelValue& value : wrong) expectTrue(setter, args({{key, value}}));
    expectTrue(setter, ChannelValue("not a map"));
    expectTrue(setter, ChannelValue(ChannelMap{{ChannelValue(int32_t{1}), true}}));
  }
  expectTrue("setTitle", args({{"title", int32_t{5}}}));
  expectTrue("setOpacity", args({{"opacity", "0.5"}}));
  expectTrue("setBackgroundColor", args({{"backgroundColorA", int32_t{255}}}));
  expectTrue("setBackgroundColor", args({{"backgroundColorA", 1.0},
                                         {"backgroundColorR", int32_t{1}},
                                         {"backgroundColorG", int32_t{1}},
                                         {"backgroundColorB", int32_t{1}}}));
  expectTrue("setMinimumSize", args({{"width", 100.0}}));
  expectTrue("setTitleBarStyle", args({{"titleBarStyle", "hidden"}}));
  expectTrue("setIgnoreMouseEvents", args({{"ignore", true}}));
  expectTrue("setVisibleOnAllWorkspaces", args({{"visible", true}}));
  expectTrue("setProgressBar", args({{"progress", "1"}}));
  expectTrue("setBadgeLabel", args({{"label", int32_t{3}}}));
  expectTrue("setBounds", ChannelValue(ChannelList{1.0, 2.0, 3.0, 4.0}));

  EXPECT_EQ(window().style, before.style);
  EXPECT_EQ(window().levelValue, before.levelValue);
  EXPECT_EQ(window().shadow, before.shadow);
  EXPECT_EQ(window().titleValue, before.titleValue);
  EXPECT_EQ(window().alpha, before.alpha);
  EXPECT_EQ(window().backgroundColor, before.backgroundColor);
  EXPECT_EQ(window().minSize, before.minSize);
  EXPECT_EQ(window().titleVisibilityValue, before.titleVisibilityValue);
  EXPECT_EQ(window().ignoresMouse, before.ignoresMouse);
  EXPECT_EQ(window().behavior, before.behavior);
  EXPECT_EQ(window().movable, before.movable);
  EXPECT_EQ(window().frameValue, before.frameValue);
  EXPECT_FALSE(system->tile.bar);
  EXPECT_EQ(system->tile.label, "");
  EXPECT_EQ(call("isPreventClose"), ChannelValue(false));
  EXPECT_EQ(call("isMaximizable"), ChannelValue(true));
}

}  // namespace
}  // namespace vellumark::window_manager_test
