// Quitting on SIGTERM, SIGINT and SIGHUP the way closing the window does,
// from the main loop, within a bounded time. Main-thread only.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vellumark {

// The socket file as it was made, so a forced quit removes only our own.
struct SocketFile {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;

  static SocketFile of(const std::string& path);
  void removeIfOurs() const;
};

// `cancel` runs at the first signal (it dismisses a PIN dialog); after a
// short grace for answers already on their way, or at a second signal,
// `terminate` runs. A watchdog thread ends the process (status 1, our socket
// removed) when quitting takes longer than the cap.
class SignalQuit {
 public:
  SignalQuit(std::function<void()> cancel, std::function<void()> terminate);
  ~SignalQuit();
  SignalQuit(const SignalQuit&) = delete;
  SignalQuit& operator=(const SignalQuit&) = delete;

  // The socket a forced quit removes.
  void setSocket(SocketFile socket);

 private:
  static int onSignal(void* data);
  static int onGraceOver(void* data);
  void quit();
  void terminateOnce();
  void watch();  // the watchdog thread

  std::function<void()> cancel_;
  std::function<void()> terminate_;
  std::vector<unsigned> sources_;
  unsigned graceSource_ = 0;
  bool quitting_ = false;
  bool terminated_ = false;
  std::thread watchdog_;
  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;
  SocketFile socket_;
};

}  // namespace vellumark
