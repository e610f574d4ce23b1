// A scriptable update framework for tests: records the controllers made and
// every call on their updaters, and lets the test play the framework's side
// of the delegate protocol. Also a system log that keeps its lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/updater.h"

namespace vellumark::platform::fakes {

class FakeUpdater : public Updater {
 public:
  double updateCheckInterval() const override { return interval; }
  void setUpdateCheckInterval(double seconds) override;
  bool automaticallyChecksForUpdates() const override { return automatic; }
  void setAutomaticallyChecksForUpdates(bool enabled) override;
  void checkForUpdates() override { calls.push_back("checkForUpdates"); }
  void checkForUpdatesInBackground() override { calls.push_back("checkForUpdatesInBackground"); }

  double interval = 86400;
  bool automatic = false;
  // Every call, in order: "setUpdateCheckInterval:3600", "checkForUpdates", ...
  std::vector<std::string> calls;
};

class FakeUpdaterController : public StandardUpdaterController {
 public:
  FakeUpdaterController(bool startingUpdater, std::shared_ptr<UpdaterDelegate> delegate,
                        bool withUpdater);
  Updater* updater() override { return updater_.get(); }

  const bool startedUpdater;
  // Weak, as the real framework holds it.
  std::weak_ptr<UpdaterDelegate> delegate;
  // The updater, also after the controller is gone (null when made without).
  std::shared_ptr<FakeUpdater> fakeUpdater() const { return updater_; }

 private:
  std::shared_ptr<FakeUpdater> updater_;
};

class FakeUpdateFramework : public UpdateFramework {
 public:
  std::unique_ptr<StandardUpdaterController> makeStandardUpdaterController(
      bool startingUpdater, std::shared_ptr<UpdaterDelegate> updaterDelegate) override;

  // The framework's side, as it would call the delegate of the last
  // controller made. No-ops once the delegate is gone.
  std::optional<std::string> askFeedURL();
  void findUpdate(const AppcastItem& item);
  void findNoUpdate();
  void willInstall(const AppcastItem& item);
  void abort(std::string domain, int64_t code, std::string description);

  // Controllers made with no updater (the "missing updater" case).
  bool makeWithoutUpdater = false;
  int controllersMade = 0;
  bool lastStartedUpdater = false;
  std::weak_ptr<UpdaterDelegate> lastDelegate;
  std::shared_ptr<FakeUpdater> lastUpdater;
};

class FakeSystemLog : public SystemLog {
 public:
  void log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

}  // namespace vellumark::platform::fakes
