// Starting the built host for whole-host tests and talking to it as a UI.
// Every host a test starts runs with G_DEBUG=fatal-criticals, and its log is
// scanned for GLib warnings and criticals when it goes away: either fails the
// test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "embedding/bridge_protocol.h"
#include "embedding/codec.h"

namespace vellumark::host_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline const fs::path kBundle = fs::path(VELLUMARK_BINARY_DIR) / "Vellumark";
inline const fs::path kHostctl = fs::path(VELLUMARK_BINARY_DIR) / "tools/hostctl/hostctl";

// Runs a shell command; its standard output.
inline std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines of a host's log that GLib, GTK or GObject wrote as a warning or a
// critical.
inline std::vector<std::string> glibProblems(const std::string& log) {
  std::vector<std::string> found;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("-WARNING **") != std::string::npos ||
        line.find("-CRITICAL **") != std::string::npos ||
        line.find("GLib-GObject") != std::string::npos) {
      found.push_back(line);
    }
  }
  return found;
}

// A window's area on the screen, as xwininfo reports it.
struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

// Nullopt when the window has no area (gone, or not mapped yet).
inline std::optional<Geometry> windowGeometry(const std::string& id) {
  std::istringstream info(run("xwininfo -id " + id));
  Geometry g;
  std::string line;
  while (std::getline(info, line)) {
    auto value = [&](const char* key, int& out) {
      const auto at = line.find(key);
      if (at != std::string::npos) out = std::atoi(line.c_str() + at + std::strlen(key));
    };
    value("Absolute upper-left X:", g.x);
    value("Absolute upper-left Y:", g.y);
    value("Width:", g.width);
    value("Height:", g.height);
  }
  if (g.width <= 0 || g.height <= 0) return std::nullopt;
  return g;
}

// Polls `done` every 10 ms until it holds or `timeout` passes.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// The X id (decimal) of the visible main window, or empty when none shows
// within `timeout`. A search fails outright when a window it looks at goes
// away meanwhile (a previous test's host, say): ask again.
inline std::string mainWindowId(std::chrono::milliseconds timeout = 10s) {
  std::string id;
  waitFor(
      [&] {
        std::istringstream ids(
            run("timeout 5 xdotool search --sync --onlyvisible --name '^Vellumark$' 2>/dev/null"));
        return static_cast<bool>(ids >> id);
      },
      timeout);
  return id;
}

// A host started in its own process group and its own session bus, so
// concurrent hosts never meet as one single-instance application. Standard
// output and error go to its log. Its log is checked when it goes away.
class Host {
 public:
  explicit Host(const fs::path& dir) : Host(dir / "ui.sock", dir / "host.log") {}
  Host(fs::path socket, fs::path log) : socket_(std::move(socket)), log_(std::move(log)) {}
  ~Host() {
    stop();
    expectCleanLog();
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Before start(): an environment variable for the host.
  void setEnv(std::string name, std::string value) { env_[std::move(name)] = std::move(value); }

  void start() {
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      setenv("VELLUMARK_UI_SOCKET", socket_.c_str(), 1);
      // A critical ends the host at once; the log scan catches warnings.
      setenv("G_DEBUG", "fatal-criticals", 1);
      for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
      const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
      }
      const std::string exe = (kBundle / "bin/vellumark").string();
      execlp("dbus-run-session", "dbus-run-session", "--", exe.c_str(), nullptr);
      _exit(127);
    }
    setpgid(pid_, pid_);
  }

  bool waitForSocket(std::chrono::milliseconds timeout = 10s) const {
    return waitFor(
        [&] {
          struct stat st {};
          return ::stat(socket_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
        },
        timeout);
  }

  // The host's exit status (dbus-run-session passes it on; 128 + N when a
  // signal N ended it), or nullopt if still running after `timeout`.
  std::optional<int> waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }

  // The host process itself (a child of dbus-run-session), or -1.
  pid_t hostPid() const {
    if (pid_ <= 0) return -1;
    const std::string children =
        readFile("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
    std::istringstream in(children);
    pid_t child = 0;
    while (in >> child) {
      std::string comm = readFile("/proc/" + std::to_string(child) + "/comm");
      if (comm.rfind("vellumark", 0) == 0) return child;
    }
    return -1;
  }

  // Sends `signum` to the host process alone, as a session manager or a
  // terminal would.
  bool signal(int signum) const {
    const pid_t pid = hostPid();
    return pid > 0 && ::kill(pid, signum) == 0;
  }

  // Quits the host as a session manager would, and waits until it is gone:
  // dbus-run-session ends after it, so its window is gone too when the next
  // test looks for one. Then the bus, by force if need be.
  void stop() {
    if (pid_ <= 0) return;
    if (!signal(SIGTERM) || !waitExit(3s)) kill(-pid_, SIGTERM);
    if (pid_ > 0 && !waitExit(3s)) {
      kill(-pid_, SIGKILL);
      waitExit(3s);
    }
  }

  void expectCleanLog() const {
    for (const std::string& line : glibProblems(log())) {
      ADD_FAILURE() << "the host printed a GLib warning or critical: " << line;
    }
  }

  void sleepUntil(std::chrono::milliseconds sinceStart) const {
    std::this_thread::sleep_until(started_ + sinceStart);
  }
  std::chrono::milliseconds sinceStart() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
  }

  const fs::path& socket() const { return socket_; }
  std::string log() const { return readFile(log_); }

 private:
  fs::path socket_;
  fs::path log_;
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
  Clock::time_point started_;
};

// A UI over the bridge that may keep several calls open at once and watch
// host messages meanwhile (the blocking BridgeClient waits for one reply at a
// time).
class Ui {
 public:
  struct Message {
    std::string channel;
    uint32_t id = 0;
    Bytes payload;
  };

  Ui() = default;
  ~Ui() { close(); }
  Ui(const Ui&) = delete;
  Ui& operator=(const Ui&) = delete;

  bool connect(const fs::path& path) {
    close();
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      close();
      return false;
    }
    reader_ = bridge::FrameReader();
    closed_ = false;
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Sends a method call; the id its reply will carry.
  uint32_t call(const std::string& channel, const std::string& method, ChannelValue args = {}) {
    const uint32_t id = ++lastId_;
    send(bridge::encodeMessageFrame(
        channel, id, StandardMethodCodec::sharedInstance()->encodeMethodCall({method, args})));
    return id;
  }

  // The reply to `id` (empty: the engine's empty reply), or nullopt when none
  // came within `timeout` or the host closed the connection first.
  std::optional<Bytes> reply(uint32_t id, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto it = replies_.find(id); it != replies_.end()) {
        Bytes payload = std::move(it->second);
        replies_.erase(it);
        return payload;
      }
      if (!readUntil(deadline)) return std::nullopt;
    }
  }

  // The next message the host sent, or nullopt.
  std::optional<Message> nextMessage(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (messages_.empty()) {
      if (!readUntil(deadline)) return std::nullopt;
    }
    Message m = std::move(messages_.front());
    messages_.erase(messages_.begin());
    return m;
  }

  // Whether the host closed the connection within `timeout`.
  bool waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
      if (!readUntil(deadline) && !closed_) return false;
    }
    return true;
  }

  static MethodEnvelope decode(const Bytes& reply) {
    return StandardMethodCodec::sharedInstance()->decodeEnvelope(reply);
  }

 private:
  void send(const Bytes& frame) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < frame.size()) {
      const ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        closed_ = true;
        return;
      }
      sent += static_cast<size_t>(n);
    }
  }

  // Reads one chunk and files its frames; false on timeout or a closed
  // connection.
  bool readUntil(Clock::time_point deadline) {
    if (fd_ < 0 || closed_) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    uint8_t buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    reader_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
    while (auto frame = reader_.next()) {
      if (frame->kind == bridge::FrameKind::Reply) {
        replies_[frame->id] = std::move(frame->payload);
      } else {
        messages_.push_back({std::move(frame->channel), frame->id, std::move(frame->payload)});
      }
    }
    return true;
  }

  int fd_ = -1;
  bool closed_ = false;
  uint32_t lastId_ = 0;
  bridge::FrameReader reader_;
  std::map<uint32_t, Bytes> replies_;
  std::vector<Message> messages_;
};

// Base for whole-host tests: a temporary folder, a display (skips without
// one), and at most one host per test whose log is checked at the end.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display (with-test-env.sh)";
    ASSERT_TRUE(fs::exists(kBundle / "bin/vellumark"));
    char tmpl[] = "/tmp/vellumark-host.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    host.reset();
    if (!dir.empty()) fs::remove_all(dir);
  }

  // Call setEnv() on the result before start(), or use startHost().
  Host& makeHost() {
    host = std::make_unique<Host>(dir);
    return *host;
  }
  Host& startHost() {
    makeHost().start();
    return *host;
  }

  fs::path dir;
  std::unique_ptr<Host> host;
};

}  // namespace vellumark::host_test
