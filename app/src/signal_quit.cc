#include "signal_quit.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <exception>

namespace vellumark {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
// How long answers already on their way (a token call whose PIN dialog was
// just dismissed) get to reach the UI before the application terminates.
constexpr std::chrono::milliseconds kQuitGrace{150};
// A quit that takes longer (a token call that ignores cancellation keeps its
// worker from finishing) ends the process anyway, with this status.
constexpr std::chrono::milliseconds kQuitCap{1800};
constexpr int kForcedQuitStatus = 1;

// Nothing throws into GLib.
template <typename F>
void guard(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    g_message("quitting: %s", e.what());
  } catch (...) {
    g_message("quitting failed");
  }
}

}  // namespace

SocketFile SocketFile::of(const std::string& path) {
  SocketFile file;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return file;
  file.path = path;
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  return file;
}

void SocketFile::removeIfOurs() const {
  struct stat st {};
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) {
    ::unlink(path.c_str());
  }
}

SignalQuit::SignalQuit(std::function<void()> cancel, std::function<void()> terminate)
    : cancel_(std::move(cancel)), terminate_(std::move(terminate)) {
  for (const int signum : kQuitSignals) {
    sources_.push_back(g_unix_signal_add(signum, &SignalQuit::onSignal, this));
  }
}

SignalQuit::~SignalQuit() {
  for (const unsigned source : sources_) g_source_remove(source);
  if (graceSource_ != 0) g_source_remove(graceSource_);
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  finishedChanged_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
}

void SignalQuit::setSocket(SocketFile socket) {
  std::lock_guard lock(mutex_);
  socket_ = std::move(socket);
}

int SignalQuit::onSignal(void* data) {
  guard([&] { static_cast<SignalQuit*>(data)->quit(); });
  return G_SOURCE_CONTINUE;
}

int SignalQuit::onGraceOver(void* data) {
  auto* self = static_cast<SignalQuit*>(data);
  self->graceSource_ = 0;
  guard([&] { self->terminateOnce(); });
  return G_SOURCE_REMOVE;
}

void SignalQuit::quit() {
  if (quitting_) {
    // A second signal: no more waiting for answers.
    if (graceSource_ != 0) g_source_remove(graceSource_);
    graceSource_ = 0;
    terminateOnce();
    return;
  }
  quitting_ = true;
  watchdog_ = std::thread([this] { watch(); });
  if (cancel_) cancel_();
  graceSource_ = g_timeout_add(static_cast<guint>(kQuitGrace.count()), &onGraceOver, this);
}

void SignalQuit::terminateOnce() {
  if (terminated_) return;
  terminated_ = true;
  if (terminate_) terminate_();
}

void SignalQuit::watch() {
  std::unique_lock lock(mutex_);
  if (finishedChanged_.wait_for(lock, kQuitCap, [this] { return finished_; })) return;
  // Only async-signal-safe calls from here: other threads may hold locks.
  static constexpr char kMessage[] = "vellumark: quitting took too long; exiting now\n";
  ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
  (void)ignored;
  socket_.removeIfOurs();
  ::_exit(kForcedQuitStatus);
}

}  // namespace vellumark
