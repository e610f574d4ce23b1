// The update framework as the updater plugin uses it: a standard updater
// controller made with a delegate, its updater (scheduled and manual
// checks), the appcast items and errors it reports, and the system log the
// plugin writes to. Main-thread only unless a declaration says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vellumark::platform {

// The framework's error domain and the codes it reports in it.
inline constexpr char kUpdaterErrorDomain[] = "SUSparkleErrorDomain";
namespace updater_error {
inline constexpr int64_t kAppcastParse = 1000;
// No newer update: reported after updaterDidNotFindUpdate.
inline constexpr int64_t kNoUpdate = 1001;
inline constexpr int64_t kAppcast = 1002;  // the feed could not be fetched
inline constexpr int64_t kInvalidFeedURL = 1008;
inline constexpr int64_t kTemporaryDirectory = 2000;
inline constexpr int64_t kDownload = 2001;
inline constexpr int64_t kUnarchiving = 3000;
inline constexpr int64_t kSignature = 3001;
inline constexpr int64_t kValidationFailed = 3002;
inline constexpr int64_t kFileCopyFailure = 4000;
inline constexpr int64_t kRelaunch = 4004;
inline constexpr int64_t kInstallation = 4005;
inline constexpr int64_t kDowngrade = 4006;
}  // namespace updater_error

// One update of the feed.
struct AppcastItem {
  std::string title;
  // The machine version compared against the bundle's CFBundleVersion.
  std::string versionString;
  // The version shown to people; versionString when the feed gives none.
  std::string displayVersionString;
  // The enclosure's absolute URL; absent when the item has none.
  std::optional<std::string> fileURL;
  std::optional<uint64_t> contentLength;
  std::optional<std::string> edSignature;
  std::optional<std::string> minimumSystemVersion;
};

struct UpdaterError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;
};

class Updater;

// What an updater tells its delegate, on the main thread.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  // The feed to check; nullopt leaves the bundle's SUFeedURL.
  virtual std::optional<std::string> feedURLStringForUpdater(Updater& /*updater*/) {
    return std::nullopt;
  }
  virtual void updaterDidFindValidUpdate(Updater& /*updater*/, const AppcastItem& /*item*/) {}
  virtual void updaterDidNotFindUpdate(Updater& /*updater*/) {}
  // The update is unpacked and verified; the bundle is replaced next.
  virtual void updaterWillInstallUpdate(Updater& /*updater*/, const AppcastItem& /*item*/) {}
  virtual void updaterDidAbortWithError(Updater& /*updater*/, const UpdaterError& /*error*/) {}
};

class Updater {
 public:
  virtual ~Updater() = default;
  // Seconds between scheduled background checks.
  virtual double updateCheckInterval() const = 0;
  virtual void setUpdateCheckInterval(double seconds) = 0;
  virtual bool automaticallyChecksForUpdates() const = 0;
  virtual void setAutomaticallyChecksForUpdates(bool enabled) = 0;
  // A check with the framework's own dialogs; the user may then install.
  virtual void checkForUpdates() = 0;
  // A silent check: findings reach only the delegate.
  virtual void checkForUpdatesInBackground() = 0;
};

class StandardUpdaterController {
 public:
  virtual ~StandardUpdaterController() = default;
  // Null when the controller has no updater.
  virtual Updater* updater() = 0;
};

class UpdateFramework {
 public:
  virtual ~UpdateFramework() = default;
  // A controller using the framework's standard dialogs, its updater started
  // at once when `startingUpdater`. The delegate is held weakly: the caller
  // keeps it alive as long as it wants to hear from the updater.
  virtual std::unique_ptr<StandardUpdaterController> makeStandardUpdaterController(
      bool startingUpdater, std::shared_ptr<UpdaterDelegate> updaterDelegate) = 0;
};

// The system log (one line per call, no levels).
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void log(const std::string& line) = 0;
};

}  // namespace vellumark::platform
