// A host side (EngineMessenger + UiBridge on the default main context) in a
// temporary folder, and a way to run a blocking UI on another thread while the
// main loop turns.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "embedding/engine.h"
#include "embedding_glib/ui_bridge.h"

namespace vellumark::testing {

class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ui-bridge-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/run/vellumark/ui.sock";
    setEngineLogSink([this](const std::string& line) {
      std::lock_guard lock(logMutex_);
      log_.push_back(line);
    });
  }

  void TearDown() override {
    bridge_.reset();
    messenger_.reset();
    drain();
    setEngineLogSink(nullptr);
    std::filesystem::remove_all(dir_);
  }

  void startBridge() {
    bridge_ = std::make_unique<UiBridge>(*messenger_);
    std::string error;
    ASSERT_TRUE(bridge_->listen(path_, &error)) << error;
  }

  // Turns the main loop until `done` holds or the timeout passes.
  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!g_main_context_iteration(nullptr, FALSE)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return true;
  }

  void drain() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }

  // Runs a blocking UI on its own thread; the main loop turns meanwhile.
  void withUi(const std::function<void()>& ui) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
      ui();
      done = true;
      g_main_context_wakeup(nullptr);
    });
    const bool finished = pumpUntil([&] { return done.load(); }, std::chrono::seconds(20));
    thread.join();
    EXPECT_TRUE(finished) << "UI thread did not finish";
    drain();
  }

  std::vector<std::string> logLines() {
    std::lock_guard lock(logMutex_);
    return log_;
  }
  bool logged(const std::string& part) {
    for (const auto& line : logLines()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  // A plain socket to the bridge, for bytes no well-behaved client writes.
  int rawConnect() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Reads until the host closes; false when it is still open at the timeout.
  static bool waitClosedByHost(int fd, int timeoutMs = 5000) {
    for (;;) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
      uint8_t buf[4096];
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n == 0) return true;
      if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
    }
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<EngineMessenger> messenger_ = std::make_unique<EngineMessenger>();
  std::unique_ptr<UiBridge> bridge_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

}  // namespace vellumark::testing
