#include "platform_fakes/fake_updater.h"

#include <sstream>

namespace vellumark::platform::fakes {

void FakeUpdater::setUpdateCheckInterval(double seconds) {
  interval = seconds;
  std::ostringstream call;
  call << "setUpdateCheckInterval:" << seconds;
  calls.push_back(call.str());
}

void FakeUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
  automatic = enabled;
  calls.push_back(std::string("setAutomaticallyChecksForUpdates:") + (enabled ? "YES" : "NO"));
}

FakeUpdaterController::FakeUpdaterController(bool startingUpdater,
                                             std::shared_ptr<UpdaterDelegate> updaterDelegate,
                                             bool withUpdater)
    : startedUpdater(startingUpdater),
      delegate(std::move(updaterDelegate)),
      updater_(withUpdater ? std::make_shared<FakeUpdater>() : nullptr) {}

std::unique_ptr<StandardUpdaterController> FakeUpdateFramework::makeStandardUpdaterController(
    bool startingUpdater, std::shared_ptr<UpdaterDelegate> updaterDelegate) {
  ++controllersMade;
  lastStartedUpdater = startingUpdater;
  lastDelegate = updaterDelegate;
  auto controller = std::make_unique<FakeUpdaterController>(
      startingUpdater, std::move(updaterDelegate), !makeWithoutUpdater);
  lastUpdater = controller->fakeUpdater();
  return controller;
}

std::optional<std::string> FakeUpdateFramework::askFeedURL() {
  auto delegate = lastDelegate.lock();
  if (!delegate || !lastUpdater) return std::nullopt;
  return delegate->feedURLStringForUpdater(*lastUpdater);
}

void FakeUpdateFramework::findUpdate(const AppcastItem& item) {
  if (auto delegate = lastDelegate.lock(); delegate && lastUpdater) {
    delegate->updaterDidFindValidUpdate(*lastUpdater, item);
  }
}

void FakeUpdateFramework::findNoUpdate() {
  if (auto delegate = lastDelegate.lock(); delegate && lastUpdater) {
    delegate->updaterDidNotFindUpdate(*lastUpdater);
  }
}

void FakeUpdateFramework::willInstall(const AppcastItem& item) {
  if (auto delegate = lastDelegate.lock(); delegate && lastUpdater) {
    delegate->updaterWillInstallUpdate(*lastUpdater, item);
  }
}

void FakeUpdateFramework::abort(std::string domain, int64_t code, std::string description) {
  if (auto delegate = lastDelegate.lock(); delegate && lastUpdater) {
    delegate->updaterDidAbortWithError(
        *lastUpdater, UpdaterError{std::move(domain), code, std::move(description)});
  }
}

}  // namespace vellumark::platform::fakes
