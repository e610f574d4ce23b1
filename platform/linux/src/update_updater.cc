// The updater: one update session at a time (check, then for a check the
// user asked for, the prompt, download, verification, unpacking and the
// swap), its blocking steps on a worker thread of the session, every
// delegate call and dialog on the main queue.
#include <glib.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>
#include <utility>
#include <variant>

#include "platform_linux/update_framework.h"
#include "update_appcast.h"
#include "update_fetch.h"
#include "update_install.h"
#include "update_relaunch.h"
#include "update_signature.h"

namespace vellumark::linux_platform {
namespace {

namespace err = platform::updater_error;
using platform::AppcastItem;
using platform::UpdaterError;
using update::infoString;

constexpr char kInfoVersion[] = "CFBundleVersion";
constexpr char kInfoShortVersion[] = "CFBundleShortVersionString";
constexpr char kInfoExecutable[] = "CFBundleExecutable";
constexpr char kInfoPublicKey[] = "SUPublicEDKey";
constexpr char kInfoFeedURL[] = "SUFeedURL";
constexpr char kInfoAutomaticChecks[] = "SUEnableAutomaticChecks";
constexpr char kInfoCheckInterval[] = "SUScheduledCheckInterval";
constexpr char kDefaultExecutable[] = "vellumark";
constexpr char kRelaunchHelper[] = "lib/vellumark_relaunch";
constexpr char kArchiveName[] = "update.archive";
constexpr char kUnpackedName[] = "unpacked";

constexpr double kDefaultInterval = 86400;
// Scheduled checks never come closer than this, whatever the UI asks.
constexpr double kMinimumInterval = 1;
constexpr double kMaximumInterval = 365.0 * 86400;
// Progress reaches the main loop at most once per this many bytes.
constexpr uint64_t kProgressStep = 64 * 1024;

constexpr char kMessageUpToDate[] = "You're up to date!";
constexpr char kMessageNoFeed[] = "No update feed is configured.";
constexpr char kMessageFeedPrefix[] = "An error occurred in retrieving update information: ";
constexpr char kMessageNoDownload[] = "The update has no download URL.";
constexpr char kMessageNoKey[] =
    "The update cannot be verified: the application has no public key (SUPublicEDKey).";
constexpr char kMessageUnsigned[] = "The update is not signed and was refused.";
constexpr char kMessageDownloadPrefix[] = "An error occurred while downloading the update: ";
constexpr char kMessageSignaturePrefix[] = "The update is improperly signed and was refused: ";
constexpr char kMessageExtractPrefix[] = "An error occurred while extracting the update: ";
constexpr char kMessageInstallPrefix[] = "An error occurred while installing the update: ";

UpdaterError makeError(int64_t code, std::string description) {
  return UpdaterError{platform::kUpdaterErrorDomain, code, std::move(description)};
}

std::string kernelRelease() {
  struct utsname name {};
  if (::uname(&name) != 0) return {};
  return name.release;
}

// An enclosure URL relative to the feed becomes absolute.
std::string resolveAgainst(const std::string& feed, const std::string& url) {
  GError* error = nullptr;
  gchar* resolved = g_uri_resolve_relative(feed.c_str(), url.c_str(), G_URI_FLAGS_NONE, &error);
  if (resolved == nullptr) {
    if (error != nullptr) g_error_free(error);
    return url;
  }
  std::string out(resolved);
  g_free(resolved);
  return out;
}

// What a check found.
struct CheckOutcome {
  std::optional<UpdaterError> error;
  std::optional<AppcastItem> item;
};

// What preparing an install left: the unpacked bundle, or an error.
struct PrepareOutcome {
  std::optional<UpdaterError> error;
  std::string staging;
  std::string newBundle;
};

class LinuxUpdater : public platform::Updater, public std::enable_shared_from_this<LinuxUpdater> {
 public:
  LinuxUpdater(UpdateFrameworkOptions options, std::weak_ptr<platform::UpdaterDelegate> delegate)
      : options_(std::move(options)), delegate_(std::move(delegate)) {
    if (options_.systemVersion.empty()) options_.systemVersion = kernelRelease();
    if (!options_.userDriver) options_.userDriver = createGtkUpdateUserDriver(options_.bundle);
    if (options_.bundle) {
      if (auto v = options_.bundle->objectForInfoDictionaryKey(kInfoAutomaticChecks)) {
        if (const bool* b = std::get_if<bool>(&v->value)) automatic_ = *b;
      }
      if (auto v = options_.bundle->objectForInfoDictionaryKey(kInfoCheckInterval)) {
        if (const auto* i = std::get_if<int64_t>(&v->value))
          interval_ = clampInterval(double(*i), interval_);
        if (const auto* d = std::get_if<double>(&v->value))
          interval_ = clampInterval(*d, interval_);
      }
    }
    limits_.connectTimeout = options_.connectTimeout;
    limits_.stallTimeout = options_.stallTimeout;
    limits_.feedTimeout = options_.feedTimeout;
  }

  ~LinuxUpdater() override {
    cancel_->store(true);
    if (worker_.joinable()) worker_.join();
    if (phase_ != Phase::Idle) options_.userDriver->dismiss();
  }

  void start() {
    started_ = true;
    schedule();
  }

  double updateCheckInterval() const override { return interval_; }
  void setUpdateCheckInterval(double seconds) override {
    interval_ = clampInterval(seconds, interval_);
    schedule();
  }
  bool automaticallyChecksForUpdates() const override { return automatic_; }
  void setAutomaticallyChecksForUpdates(bool enabled) override {
    automatic_ = enabled;
    schedule();
  }
  void checkForUpdates() override { beginCheck(true); }
  void checkForUpdatesInBackground() override { beginCheck(false); }

 private:
  enum class Phase { Idle, Checking, Prompting, Preparing, Installing };

  // Non-finite and non-positive intervals are ignored; tiny ones raised.
  static double clampInterval(double seconds, double current) {
    if (!std::isfinite(seconds) || seconds <= 0) return current;
    return std::min(std::max(seconds, kMinimumInterval), kMaximumInterval);
  }

  // (Re)arms the scheduled check one interval from now; a change of either
  // setting starts the interval again.
  void schedule() {
    const uint64_t generation = ++timerGeneration_;
    if (!started_ || !automatic_ || !options_.mainQueue) return;
    const auto delay = std::chrono::milliseconds(static_cast<int64_t>(interval_ * 1000));
    options_.mainQueue->postAfter(delay, [weak = weak_from_this(), generation] {
      auto self = weak.lock();
      if (!self || self->timerGeneration_ != generation) return;
      if (self->phase_ == Phase::Idle) self->beginCheck(false);
      self->schedule();
    });
  }

  std::shared_ptr<platform::UpdaterDelegate> delegate() const { return delegate_.lock(); }

  // Runs `job` on this session's worker; the previous worker has finished.
  void startWorker(std::function<void(const std::atomic<bool>&)> job) {
    if (worker_.joinable()) worker_.join();
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    worker_ = std::thread([job = std::move(job), cancel = cancel_] {
      try {
        job(*cancel);
      } catch (...) {
        // Jobs report through the main queue; one that throws reports nothing.
      }
    });
  }

  // Posts `task` to the main queue for the current session only.
  template <typename Task>
  static void postBack(const std::weak_ptr<LinuxUpdater>& weak,
                       const std::shared_ptr<platform::TaskQueue>& queue, uint64_t session,
                       Task task) {
    queue->post([weak, session, task = std::move(task)]() mutable {
      auto self = weak.lock();
      if (self && self->session_ == session) task(*self);
    });
  }

  void beginCheck(bool userInitiated) {
    if (phase_ != Phase::Idle) {
      // A person asking during a silent check sees its outcome.
      if (userInitiated && phase_ == Phase::Checking && !userSession_) {
        userSession_ = true;
        options_.userDriver->showCheckingForUpdates(cancelCallback(session_));
      }
      return;
    }
    std::string feed;
    if (auto d = delegate()) feed = d->feedURLStringForUpdater(*this).value_or(std::string());
    if (feed.empty()) feed = infoString(options_.bundle.get(), kInfoFeedURL);
    userSession_ = userInitiated;
    const uint64_t session = ++session_;
    if (feed.empty()) {
      abort(makeError(err::kInvalidFeedURL, kMessageNoFeed));
      return;
    }
    phase_ = Phase::Checking;
    if (userInitiated) {
      options_.userDriver->showCheckingForUpdates(cancelCallback(session));
    }
    const std::string current = infoString(options_.bundle.get(), kInfoVersion);
    startWorker([weak = weak_from_this(), queue = options_.mainQueue, session, feed, current,
                 system = options_.systemVersion,
                 limits = limits_](const std::atomic<bool>& cancel) {
      CheckOutcome outcome;
      update::FetchResult fetched = update::fetchText(feed, limits, cancel);
      if (!fetched.ok) {
        outcome.error = makeError(err::kAppcast, kMessageFeedPrefix + fetched.error);
      } else {
        std::string why;
        auto items = update::parseAppcast(fetched.body, &why);
        if (!items) {
          outcome.error = makeError(err::kAppcastParse, why);
        } else {
          for (auto& item : *items) {
            if (item.fileURL && !item.fileURL->empty())
              item.fileURL = resolveAgainst(feed, *item.fileURL);
          }
          outcome.item = update::bestUpdate(*items, current, system);
        }
      }
      postBack(weak, queue, session,
               [outcome = std::move(outcome)](LinuxUpdater& self) { self.finishCheck(outcome); });
    });
  }

  std::function<void()> cancelCallback(uint64_t session) {
    return [weak = weak_from_this(), session] {
      if (auto self = weak.lock()) self->cancelSession(session);
    };
  }

  // The person cancelled the dialog of `session`: it ends without a word.
  void cancelSession(uint64_t session) {
    if (session != session_ || phase_ == Phase::Idle || phase_ == Phase::Installing) return;
    cancel_->store(true);
    ++session_;
    phase_ = Phase::Idle;
    options_.userDriver->dismiss();
  }

  void finishCheck(const CheckOutcome& outcome) {
    if (outcome.error) {
      abort(*outcome.error);
      return;
    }
    if (!outcome.item) {
      phase_ = Phase::Idle;
      if (userSession_) {
        options_.userDriver->showUpToDate(infoString(options_.bundle.get(), kInfoShortVersion));
      }
      if (auto d = delegate()) d->updaterDidNotFindUpdate(*this);
      if (auto d = delegate())
        d->updaterDidAbortWithError(*this, makeError(err::kNoUpdate, kMessageUpToDate));
      return;
    }
    const AppcastItem item = *outcome.item;
    if (!userSession_) {
      phase_ = Phase::Idle;
      if (auto d = delegate()) d->updaterDidFindValidUpdate(*this, item);
      return;
    }
    phase_ = Phase::Prompting;
    const uint64_t session = session_;
    if (auto d = delegate()) d->updaterDidFindValidUpdate(*this, item);
    // The delegate may have ended the session (the updater lives on).
    if (session != session_ || phase_ != Phase::Prompting) return;
    options_.userDriver->showUpdateFound(
        item, [weak = weak_from_this(), session, item](bool install) {
          auto self = weak.lock();
          if (!self || self->session_ != session || self->phase_ != Phase::Prompting) return;
          if (install) {
            self->prepare(item);
          } else {
            self->phase_ = Phase::Idle;
          }
        });
  }

  // Ends the session with `error`, shown to a person who asked.
  void abort(const UpdaterError& error) {
    phase_ = Phase::Idle;
    if (userSession_) options_.userDriver->showError(error.localizedDescription);
    if (auto d = delegate()) d->updaterDidAbortWithError(*this, error);
  }

  // Download, verify and unpack on the worker; the bundle is not touched.
  void prepare(const AppcastItem& item) {
    if (!item.fileURL || item.fileURL->empty()) {
      abort(makeError(err::kDownload, kMessageNoDownload));
      return;
    }
    const std::string publicKey = infoString(options_.bundle.get(), kInfoPublicKey);
    if (publicKey.empty()) {
      abort(makeError(err::kSignature, kMessageNoKey));
      return;
    }
    if (!item.edSignature || item.edSignature->empty()) {
      abort(makeError(err::kSignature, kMessageUnsigned));
      return;
    }
    phase_ = Phase::Preparing;
    const uint64_t session = session_;
    installing_ = item;
    options_.userDriver->showDownloadProgress(0, item.contentLength.value_or(0),
                                              cancelCallback(session));
    update::BundleExpectation expected;
    expected.identifier = infoString(options_.bundle.get(), "CFBundleIdentifier");
    expected.executable = infoString(options_.bundle.get(), kInfoExecutable);
    if (expected.executable.empty()) expected.executable = kDefaultExecutable;
    expected.currentVersion = infoString(options_.bundle.get(), kInfoVersion);
    startWorker([weak = weak_from_this(), queue = options_.mainQueue, session, item, publicKey,
                 expected, bundlePath = options_.bundle->bundlePath(),
                 limits = limits_](const std::atomic<bool>& cancel) {
      PrepareOutcome outcome;
      outcome.error = prepareOnWorker(weak, queue, session, item, publicKey, expected, bundlePath,
                                      limits, cancel, outcome);
      if (outcome.error && !outcome.staging.empty()) update::removeTree(outcome.staging);
      postBack(weak, queue, session,
               [outcome = std::move(outcome)](LinuxUpdater& self) { self.finishPrepare(outcome); });
    });
  }

  // Worker. Fills `outcome`'s folders; returns the error, if any.
  static std::optional<UpdaterError> prepareOnWorker(
      const std::weak_ptr<LinuxUpdater>& weak, const std::shared_ptr<platform::TaskQueue>& queue,
      uint64_t session, const AppcastItem& item, const std::string& publicKey,
      const update::BundleExpectation& expected, const std::string& bundlePath,
      const update::FetchLimits& limits, const std::atomic<bool>& cancel, PrepareOutcome& outcome) {
    std::string why;
    outcome.staging = update::makeStagingFolder(bundlePath, &why);
    if (outcome.staging.empty())
      return makeError(err::kTemporaryDirectory, kMessageInstallPrefix + why);
    const std::string archive = outcome.staging + "/" + kArchiveName;
    uint64_t reported = 0;
    update::FetchResult fetched =
        update::fetchToFile(*item.fileURL, archive, limits, [&](uint64_t received, uint64_t total) {
          if (cancel.load()) return false;
          if (received >= reported + kProgressStep || (total != 0 && received == total)) {
            reported = received;
            postBack(weak, queue, session, [received, total](LinuxUpdater& self) {
              self.options_.userDriver->showDownloadProgress(received, total,
                                                             self.cancelCallback(self.session_));
            });
          }
          return true;
        });
    if (!fetched.ok) return makeError(err::kDownload, kMessageDownloadPrefix + fetched.error);
    if (!update::verifyFileSignature(archive, publicKey, *item.edSignature, &why)) {
      return makeError(err::kSignature, kMessageSignaturePrefix + why);
    }
    const std::string unpacked = outcome.staging + "/" + kUnpackedName;
    std::error_code ec;
    std::filesystem::create_directory(unpacked, ec);
    if (ec || !update::unpackArchive(archive, unpacked, &why)) {
      if (ec) why = "creating " + unpacked + ": " + ec.message();
      return makeError(err::kUnarchiving, kMessageExtractPrefix + why);
    }
    update::removeTree(archive);
    outcome.newBundle = update::findNewBundle(unpacked, expected, &why);
    if (outcome.newBundle.empty()) {
      const bool older = why.find("not newer") != std::string::npos;
      return makeError(older ? err::kDowngrade : err::kValidationFailed,
                       kMessageExtractPrefix + why);
    }
    return std::nullopt;
  }

  void finishPrepare(const PrepareOutcome& outcome) {
    if (outcome.error) {
      abort(*outcome.error);
      return;
    }
    phase_ = Phase::Installing;
    options_.userDriver->showInstalling();
    // The item was kept by the prompt; the delegate hears it once more here.
    if (auto d = delegate()) d->updaterWillInstallUpdate(*this, installing_);
    install(outcome);
  }

  void install(const PrepareOutcome& outcome) {
    std::string why;
    update::RelaunchHelper helper;
    const std::string helperPath = options_.relaunchHelper.empty()
                                       ? options_.bundle->bundlePath() + "/" + kRelaunchHelper
                                       : options_.relaunchHelper;
    std::string busName = options_.busName;
    if (busName.empty()) busName = infoString(options_.bundle.get(), "CFBundleIdentifier");
    std::string executable = infoString(options_.bundle.get(), kInfoExecutable);
    if (executable.empty()) executable = kDefaultExecutable;
    // Started before the swap: when it cannot start, nothing has changed.
    if (!helper.start(helperPath, busName, outcome.staging,
                      options_.bundle->bundlePath() + "/bin/" + executable, &why)) {
      update::removeTree(outcome.staging);
      abort(makeError(err::kRelaunch, kMessageInstallPrefix + why));
      return;
    }
    if (!update::swapBundles(options_.bundle->bundlePath(), outcome.newBundle, &why)) {
      helper.abandon();
      update::removeTree(outcome.staging);
      abort(makeError(err::kFileCopyFailure, kMessageInstallPrefix + why));
      return;
    }
    helper.go();
    if (options_.quit) {
      options_.quit();
    } else {
      ::kill(::getpid(), SIGTERM);
    }
  }

  UpdateFrameworkOptions options_;
  std::weak_ptr<platform::UpdaterDelegate> delegate_;
  update::FetchLimits limits_;
  double interval_ = kDefaultInterval;
  bool automatic_ = false;
  bool started_ = false;
  uint64_t timerGeneration_ = 0;
  Phase phase_ = Phase::Idle;
  bool userSession_ = false;
  uint64_t session_ = 0;
  AppcastItem installing_;
  std::thread worker_;
  std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
};

class LinuxUpdaterController : public platform::StandardUpdaterController {
 public:
  explicit LinuxUpdaterController(std::shared_ptr<LinuxUpdater> updater)
      : updater_(std::move(updater)) {}
  platform::Updater* updater() override { return updater_.get(); }

 private:
  std::shared_ptr<LinuxUpdater> updater_;
};

class LinuxUpdateFramework : public platform::UpdateFramework {
 public:
  explicit LinuxUpdateFramework(UpdateFrameworkOptions options) : options_(std::move(options)) {}

  std::unique_ptr<platform::StandardUpdaterController> makeStandardUpdaterController(
      bool startingUpdater, std::shared_ptr<platform::UpdaterDelegate> updaterDelegate) override {
    if (!options_.bundle || !options_.mainQueue) return nullptr;
    auto updater = std::make_shared<LinuxUpdater>(options_, updaterDelegate);
    if (startingUpdater) updater->start();
    return std::make_unique<LinuxUpdaterController>(std::move(updater));
  }

 private:
  UpdateFrameworkOptions options_;
};

}  // namespace

std::shared_ptr<platform::UpdateFramework> createUpdateFramework(UpdateFrameworkOptions options) {
  return std::make_shared<LinuxUpdateFramework>(std::move(options));
}

}  // namespace vellumark::linux_platform
