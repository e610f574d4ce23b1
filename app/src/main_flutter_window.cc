#include "main_flutter_window.h"

#include <utility>

#include "embedding/task_queue.h"
#include "generated_plugin_registrant.h"

namespace vellumark {

namespace {

// Runs `task` with the window if it still exists.
Task withWindow(const std::shared_ptr<MainFlutterWindow*>& self,
                std::function<void(MainFlutterWindow&)> task) {
  return [weak = std::weak_ptr<MainFlutterWindow*>(self), task = std::move(task)] {
    if (auto alive = weak.lock()) task(**alive);
  };
}

}  // namespace

MainFlutterWindow::MainFlutterWindow(platform::Application& application, platform::Window& window,
                                     platform::Services services, FlutterAppDelegate* appDelegate,
                                     RegisterPlugins registerPlugins)
    : application_(application),
      window_(window),
      services_(std::move(services)),
      appDelegate_(appDelegate),
      registerPlugins_(registerPlugins ? std::move(registerPlugins)
                                       : RegisterPlugins(&RegisterGeneratedPlugins)),
      self_(std::make_shared<MainFlutterWindow*>(this)) {}

MainFlutterWindow::~MainFlutterWindow() {
  if (appDelegate_ != nullptr && viewController_ != nullptr &&
      appDelegate_->lifecycleRegistry() == &viewController_->registry()) {
    appDelegate_->setLifecycleRegistry(nullptr);
  }
}

void MainFlutterWindow::awakeFromNib() {
  if (viewController_ != nullptr) return;  // woken once

  uiView_ = application_.makeUiView();
  viewController_ = std::make_unique<FlutterViewController>(uiView_.get(), services_);
  if (appDelegate_ != nullptr) appDelegate_->setLifecycleRegistry(&viewController_->registry());

  const platform::Rect frame = window_.frame();
  window_.setContentView(*uiView_);
  window_.setFrame(frame, true);

  menuChannel_ = FlutterMethodChannel::methodChannelWithName(kMenuChannelName,
                                                             viewController_->binaryMessenger());

  services_.mainQueue->post(withWindow(self_, [](MainFlutterWindow& w) { w.wireMenu(); }));

  window_.setBackgroundColor(kBackgroundColor);
  window_.setOpaque(true);

  splash_ = makeSplash(uiView_->bounds());
  uiView_->addSubview(splash_);
  services_.mainQueue->postAfter(kSplashHold,
                                 withWindow(self_, [](MainFlutterWindow& w) { w.fadeSplash(); }));

  registerPlugins_(*viewController_);
}

std::shared_ptr<platform::ShellView> MainFlutterWindow::makeSplash(const platform::Rect& bounds) {
  auto overlay = application_.makeView(bounds);
  overlay->setAutoresizingMask(platform::autoresizing::kWidthSizable |
                               platform::autoresizing::kHeightSizable);
  overlay->setBackgroundColor(kBackgroundColor);

  if (auto icon = application_.imageNamed(kAppIconName)) {
    const platform::Rect iconFrame{(bounds.width - kSplashIconSize) * 0.5,
                                   (bounds.height - kSplashIconSize) * 0.5, kSplashIconSize,
                                   kSplashIconSize};
    auto iconView = application_.makeImageView(std::move(icon), iconFrame);
    iconView->setAutoresizingMask(
        platform::autoresizing::kMinXMargin | platform::autoresizing::kMaxXMargin |
        platform::autoresizing::kMinYMargin | platform::autoresizing::kMaxYMargin);
    overlay->addSubview(std::move(iconView));
  }
  return overlay;
}

void MainFlutterWindow::fadeSplash() {
  if (splash_ == nullptr) return;
  splash_->animateAlphaValue(0.0, kSplashFade, withWindow(self_, [](MainFlutterWindow& w) {
                               if (w.splash_ == nullptr) return;
                               w.splash_->removeFromSuperview();
                               w.splash_.reset();
                             }));
}

void MainFlutterWindow::wireMenu() {
  platform::Menu* mainMenu = application_.mainMenu();
  if (mainMenu == nullptr || mainMenu->numberOfItems() == 0) return;
  platform::MenuItem* appItem = mainMenu->itemAtIndex(0);
  platform::Menu* appMenu = appItem != nullptr ? appItem->submenu() : nullptr;
  if (appMenu == nullptr) return;

  for (size_t i = 0; i < appMenu->numberOfItems(); ++i) {
    platform::MenuItem* item = appMenu->itemAtIndex(i);
    if (item == nullptr || item->keyEquivalent() != kSettingsKeyEquivalent) continue;
    item->setAction(kOpenPreferencesSelector,
                    withWindow(self_, [](MainFlutterWindow& w) { w.openPreferences(); }));
    return;
  }
}

void MainFlutterWindow::openPreferences() {
  if (menuChannel_ == nullptr) return;
  menuChannel_->invokeMethod(kOpenPreferencesMethod, ChannelValue());
}

}  // namespace vellumark
