#include "updater_disabled.h"

#include <utility>

namespace vellumark {
namespace {

constexpr double kDefaultInterval = 86400;
constexpr char kUpToDate[] = "You're up to date!";

class NoUpdateUpdater : public platform::Updater,
                        public std::enable_shared_from_this<NoUpdateUpdater> {
 public:
  NoUpdateUpdater(std::shared_ptr<platform::TaskQueue> mainQueue,
                  std::weak_ptr<platform::UpdaterDelegate> delegate)
      : mainQueue_(std::move(mainQueue)), delegate_(std::move(delegate)) {}

  double updateCheckInterval() const override { return interval_; }
  void setUpdateCheckInterval(double seconds) override { interval_ = seconds; }
  bool automaticallyChecksForUpdates() const override { return automatic_; }
  void setAutomaticallyChecksForUpdates(bool enabled) override { automatic_ = enabled; }
  void checkForUpdates() override { answerNoUpdate(); }
  void checkForUpdatesInBackground() override { answerNoUpdate(); }

 private:
  // As the real framework reports a feed with nothing newer: "did not find",
  // then the abort with the no-update code.
  void answerNoUpdate() {
    mainQueue_->post([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      if (auto delegate = self->delegate_.lock()) {
        delegate->updaterDidNotFindUpdate(*self);
        delegate->updaterDidAbortWithError(
            *self, {platform::kUpdaterErrorDomain, platform::updater_error::kNoUpdate, kUpToDate});
      }
    });
  }

  std::shared_ptr<platform::TaskQueue> mainQueue_;
  std::weak_ptr<platform::UpdaterDelegate> delegate_;
  double interval_ = kDefaultInterval;
  bool automatic_ = false;
};

class NoUpdateController : public platform::StandardUpdaterController {
 public:
  explicit NoUpdateController(std::shared_ptr<NoUpdateUpdater> updater)
      : updater_(std::move(updater)) {}
  platform::Updater* updater() override { return updater_.get(); }

 private:
  std::shared_ptr<NoUpdateUpdater> updater_;
};

class NoUpdateFramework : public platform::UpdateFramework {
 public:
  explicit NoUpdateFramework(std::shared_ptr<platform::TaskQueue> mainQueue)
      : mainQueue_(std::move(mainQueue)) {}

  std::unique_ptr<platform::StandardUpdaterController> makeStandardUpdaterController(
      bool /*startingUpdater*/, std::shared_ptr<platform::UpdaterDelegate> delegate) override {
    return std::make_unique<NoUpdateController>(
        std::make_shared<NoUpdateUpdater>(mainQueue_, delegate));
  }

 private:
  std::shared_ptr<platform::TaskQueue> mainQueue_;
};

}  // namespace

std::shared_ptr<platform::UpdateFramework> makeNoUpdateFramework(
    std::shared_ptr<platform::TaskQueue> mainQueue) {
  return std::make_shared<NoUpdateFramework>(std::move(mainQueue));
}

}  // namespace vellumark
