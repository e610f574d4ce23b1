// Window events sent as "onEvent" calls, and the close and zoom answers.
#include "window_manager_test_support.h"

namespace vellumark::window_manager_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(WindowManagerTest, EventsCarryTheirNameOnly) {
  init();
  window().miniaturize();
  const auto calls = ui.methodCallsOn(kChannel);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "onEvent");
  EXPECT_EQ(calls[0].arguments, args({{"eventName", "minimize"}}));
  // Sent without awaiting an answer.
  EXPECT_FALSE(ui.received().front().reply);
}

TEST_F(WindowManagerTest, NoEventsAndPlatformDefaultsBeforeInitialisation) {
  auto delegate = window().liveDelegate();
  EXPECT_EQ(delegate, nullptr);
  window().zoom();
  window().miniaturize();
  window().performClose();
  EXPECT_TRUE(window().zoomed);
  EXPECT_TRUE(window().closed);
  EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(WindowManagerTest, PreventCloseKeepsTheWindowAndTellsTheUi) {
  init();
  expectTrue("setPreventClose", args({{"isPreventClose", true}}));
  expectTrue("close");
  EXPECT_FALSE(window().closed);
  EXPECT_THAT(takeEvents(), ElementsAre("close"));

  expectTrue("setPreventClose", args({{"isPreventClose", false}}));
  expectTrue("close");
  EXPECT_TRUE(window().closed);
  EXPECT_THAT(takeEvents(), ElementsAre("close"));
}

TEST_F(WindowManagerTest, ZoomRequestsAndMaximizeTracking) {
  init();
  expectTrue("maximize");
  EXPECT_TRUE(window().zoomed);
  EXPECT_THAT(takeEvents(), ElementsAre("maximize", "resize", "maximize"));
  EXPECT_EQ(call("isMaximized"), ChannelValue(true));

  // A resize while zoomed changes no state.
  window().setFrame({0, 0, 1440, 870}, true, false);
  EXPECT_THAT(takeEvents(), ElementsAre("resize"));

  expectTrue("unmaximize");
  EXPECT_FALSE(window().zoomed);
  EXPECT_THAT(takeEvents(), ElementsAre("maximize", "resize", "unmaximize"));

  // Not maximizable: the request is told, nothing zooms.
  expectTrue("setMaximizable", args({{"isMaximizable", false}}));
  expectTrue("maximize");
  EXPECT_FALSE(window().zoomed);
  EXPECT_THAT(takeEvents(), ElementsAre("maximize"));
}

TEST_F(WindowManagerTest, AWindowZoomedBeforeInitialisationReportsAtItsFirstResize) {
  window().zoomed = true;
  init();
  EXPECT_THAT(takeEvents(), IsEmpty());
  window().setFrame({100, 200, 800, 500}, true, false);
  EXPECT_THAT(takeEvents(), ElementsAre("resize", "maximize"));
}

TEST_F(WindowManagerTest, NotificationsBecomeTheirEvents) {
  init();
  auto delegate = window().liveDelegate();
  ASSERT_NE(delegate, nullptr);
  delegate->windowDidEndLiveResize();
  delegate->windowWillMove();
  delegate->windowDidMove();
  delegate->windowDidMiniaturize();
  delegate->windowDidDeminiaturize();
  delegate->windowDidEnterFullScreen();
  delegate->windowDidExitFullScreen();
  EXPECT_THAT(takeEvents(), ElementsAre("resized", "move", "moved", "minimize", "restore",
                                        "enter-full-screen", "leave-full-screen"));

  expectTrue("setFullScreen", args({{"isFullScreen", true}}));
  expectTrue("setFullScreen", args({{"isFullScreen", true}}));
  expectTrue("minimize");
  expectTrue("restore");
  EXPECT_THAT(takeEvents(), ElementsAre("enter-full-screen", "minimize", "restore"));
}

TEST_F(WindowManagerTest, FocusEventsCountOncePerWindowKindTwiceForAPanel) {
  init();
  auto delegate = window().liveDelegate();
  delegate->windowDidResignKey();
  delegate->windowDidResignMain();
  delegate->windowDidBecomeKey();
  delegate->windowDidBecomeMain();
  EXPECT_THAT(takeEvents(), ElementsAre("blur", "focus"));
  window().panel = true;
  delegate->windowDidResignKey();
  delegate->windowDidResignMain();
  delegate->windowDidBecomeKey();
  delegate->windowDidBecomeMain();
  EXPECT_THAT(takeEvents(), ElementsAre("blur", "blur", "focus", "focus"));
}

TEST_F(WindowManagerTest, AWindowOutlivingThePluginSendsNothing) {
  init();
  registry.reset();
  messenger.setMessageHandler(kChannel, nullptr);
  EXPECT_EQ(window().liveDelegate(), nullptr);
  window().zoom();
  window().performClose();
  EXPECT_TRUE(window().closed);
  EXPECT_THAT(takeEvents(), IsEmpty());
}

}  // namespace
}  // namespace vellumark::window_manager_test
