// The update framework's delegate: hands it the configured feed and turns
// what it reports into events for "tovra/app_updater/events". Main-thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "embedding/channel_value.h"
#include "platform/bundle.h"
#include "platform/updater.h"

namespace vellumark {

class SparkleEventForwarder : public platform::UpdaterDelegate {
 public:
  // Takes one event; it delivers later, on the main queue.
  using Sink = std::function<void(ChannelMap event)>;

  // `bundle` (may be null) is where the current version is read.
  SparkleEventForwarder(std::string feedUrl, Sink sink,
                        std::shared_ptr<platform::Bundle> bundle = nullptr);

  // Emits one event through the sink.
  void emit(ChannelMap event) const;

  std::optional<std::string> feedURLStringForUpdater(platform::Updater& updater) override;
  void updaterDidFindValidUpdate(platform::Updater& updater,
                                 const platform::AppcastItem& item) override;
  void updaterDidNotFindUpdate(platform::Updater& updater) override;
  void updaterWillInstallUpdate(platform::Updater& updater,
                                const platform::AppcastItem& item) override;
  void updaterDidAbortWithError(platform::Updater& updater,
                                const platform::UpdaterError& error) override;

  const std::string feedUrl;
  const Sink sink;

 private:
  std::shared_ptr<platform::Bundle> bundle_;
};

}  // namespace vellumark
