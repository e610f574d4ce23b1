// The update framework on Linux: an appcast update checker for the bundle.
// Feeds and archives are fetched with libcurl off the main thread, feeds
// parsed with libxml2, archives checked with Ed25519 against the bundle's
// SUPublicEDKey (OpenSSL), unpacked with libarchive into a staging folder
// beside the bundle and swapped in for it; the host is then relaunched once
// it has quit. Checks the user asked for show GTK dialogs modal to the main
// window; background checks are silent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/task_queue.h"
#include "platform/updater.h"

namespace vellumark::linux_platform {

// What a person sees of the checks they asked for. Main-thread only; every
// callback given runs at most once, on the main thread.
class UpdateUserDriver {
 public:
  virtual ~UpdateUserDriver() = default;
  virtual void showCheckingForUpdates(std::function<void()> cancel) = 0;
  // `reply(true)` installs, `reply(false)` leaves it for later.
  virtual void showUpdateFound(const platform::AppcastItem& item,
                               std::function<void(bool install)> reply) = 0;
  virtual void showUpToDate(const std::string& currentVersion) = 0;
  virtual void showDownloadProgress(uint64_t received, uint64_t total,
                                    std::function<void()> cancel) = 0;
  virtual void showInstalling() = 0;
  virtual void showError(const std::string& message) = 0;
  // Closes whatever is shown.
  virtual void dismiss() = 0;
};

struct UpdateFrameworkOptions {
  std::shared_ptr<platform::Bundle> bundle;
  std::shared_ptr<platform::TaskQueue> mainQueue;
  // Null: the GTK dialogs.
  std::shared_ptr<UpdateUserDriver> userDriver;
  // Compared with the items' minimum system version; empty: the kernel's
  // release.
  std::string systemVersion;
  std::chrono::milliseconds connectTimeout{15000};
  std::chrono::milliseconds stallTimeout{30000};
  std::chrono::milliseconds feedTimeout{60000};
  // The program that starts the new bundle once this process has gone;
  // empty: <bundle>/lib/vellumark_relaunch.
  std::string relaunchHelper;
  // The single-instance name the new process must find free; empty: the
  // bundle identifier.
  std::string busName;
  // Asks the host to quit after an update was installed; null: SIGTERM to
  // this process, which the host handles as a clean quit.
  std::function<void()> quit;
};

std::shared_ptr<platform::UpdateFramework> createUpdateFramework(UpdateFrameworkOptions options);

// The GTK dialogs, modal to the application's active window.
std::shared_ptr<UpdateUserDriver> createGtkUpdateUserDriver(
    std::shared_ptr<platform::Bundle> bundle);

// syslog(3), identified as the program.
std::shared_ptr<platform::SystemLog> createSystemLog();

// The relaunch helper's main: `argv` is HELPER BUS-NAME OLD-FOLDER EXECUTABLE.
// Waits until the process that started it has gone (its standard input, a
// pipe from that process, reads "go" then ends) and BUS-NAME has no owner on
// the session bus, removes OLD-FOLDER and runs EXECUTABLE in its place.
// Without "go" it only exits.
int runRelaunchHelper(int argc, char** argv);

}  // namespace vellumark::linux_platform
