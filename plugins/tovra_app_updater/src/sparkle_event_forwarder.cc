#include "sparkle_event_forwarder.h"

#include <utility>

namespace vellumark {
namespace {

constexpr char kKeyType[] = "type";
constexpr char kKeyVersion[] = "version";
constexpr char kKeyDownloadUrl[] = "downloadUrl";
constexpr char kKeyCurrentVersion[] = "currentVersion";
constexpr char kKeyMessage[] = "message";

constexpr char kTypeUpdateAvailable[] = "updateAvailable";
constexpr char kTypeNoUpdateAvailable[] = "noUpdateAvailable";
constexpr char kTypeUpdateReadyToInstall[] = "updateReadyToInstall";
constexpr char kTypeUpdateError[] = "updateError";

constexpr char kMessageMissingEnclosure[] = "appcast item missing enclosure URL";
constexpr char kShortVersionKey[] = "CFBundleShortVersionString";

}  // namespace

SparkleEventForwarder::SparkleEventForwarder(std::string feedUrlString, Sink eventSink,
                                             std::shared_ptr<platform::Bundle> bundle)
    : feedUrl(std::move(feedUrlString)), sink(std::move(eventSink)), bundle_(std::move(bundle)) {}

void SparkleEventForwarder::emit(ChannelMap event) const {
  if (sink) sink(std::move(event));
}

std::optional<std::string> SparkleEventForwarder::feedURLStringForUpdater(
    platform::Updater& /*updater*/) {
  return feedUrl;
}

void SparkleEventForwarder::updaterDidFindValidUpdate(platform::Updater& /*updater*/,
                                                      const platform::AppcastItem& item) {
  if (item.fileURL && !item.fileURL->empty()) {
    emit({{kKeyType, kTypeUpdateAvailable},
          {kKeyVersion, item.versionString},
          {kKeyDownloadUrl, *item.fileURL}});
  } else {
    emit({{kKeyType, kTypeUpdateError}, {kKeyMessage, kMessageMissingEnclosure}});
  }
}

void SparkleEventForwarder::updaterDidNotFindUpdate(platform::Updater& /*updater*/) {
  std::string current;
  if (bundle_) {
    auto value = bundle_->objectForInfoDictionaryKey(kShortVersionKey);
    if (const std::string* text = value ? value->asString() : nullptr) current = *text;
  }
  emit({{kKeyType, kTypeNoUpdateAvailable}, {kKeyCurrentVersion, current}});
}

void SparkleEventForwarder::updaterWillInstallUpdate(platform::Updater& /*updater*/,
                                                     const platform::AppcastItem& item) {
  emit({{kKeyType, kTypeUpdateReadyToInstall}, {kKeyVersion, item.versionString}});
}

void SparkleEventForwarder::updaterDidAbortWithError(platform::Updater& /*updater*/,
                                                     const platform::UpdaterError& error) {
  // "No update" already came as its own event.
  if (error.domain == platform::kUpdaterErrorDomain &&
      error.code == platform::updater_error::kNoUpdate) {
    return;
  }
  emit({{kKeyType, kTypeUpdateError}, {kKeyMessage, error.localizedDescription}});
}

}  // namespace vellumark
