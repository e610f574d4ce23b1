// The PIN dialog: a pinentry program spoken to in Assuan over a socket pair.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include "platform_linux/token_service.h"

extern char** environ;

namespace vellumark::linux_platform {

SecretBuffer::SecretBuffer(size_t capacity)
    : data_(std::make_unique<char[]>(capacity + 1)), capacity_(capacity) {}

SecretBuffer::~SecretBuffer() {
  if (data_) OPENSSL_cleanse(data_.get(), capacity_ + 1);
}

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(std::move(other.data_)), size_(other.size_), capacity_(other.capacity_) {
  other.size_ = 0;
  other.capacity_ = 0;
}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    if (data_) OPENSSL_cleanse(data_.get(), capacity_ + 1);
    data_ = std::move(other.data_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

bool SecretBuffer::append(char c) {
  if (!data_ || size_ >= capacity_) return false;
  data_[size_++] = c;
  data_[size_] = '\0';
  return true;
}

void SecretBuffer::clear() {
  if (data_) OPENSSL_cleanse(data_.get(), capacity_ + 1);
  size_ = 0;
}

Cancellation::Cancellation() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Cancellation::~Cancellation() {
  if (fd_ >= 0) close(fd_);
}

void Cancellation::cancel() {
  if (cancelled_.exchange(true) || fd_ < 0) return;
  uint64_t one = 1;
  // Non-blocking and far from overflowing: the write cannot fail in a way
  // that matters; cancelled() tells in any case.
  [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

void Cancellation::reset() {
  cancelled_.store(false);
  if (fd_ < 0) return;
  uint64_t count = 0;
  [[maybe_unused]] ssize_t drained = read(fd_, &count, sizeof count);
}

namespace {

// libgpg-error codes in the low 16 bits of an ERR line.
constexpr unsigned long kGpgCanceled = 99;
constexpr unsigned long kGpgFullyCanceled = 198;
constexpr unsigned long kGpgTimeout = 62;
// Without a timeout of its own the dialog still may not block the host forever.
constexpr int kDefaultWaitSeconds = 600;
// After BYE pinentry exits by itself; one that does not is ended.
constexpr auto kExitGrace = std::chrono::milliseconds(1000);
// A cancelled dialog is told to go, then made to.
constexpr auto kTerminateGrace = std::chrono::milliseconds(200);

bool executable(const std::filesystem::path& path) {
  return access(path.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(path);
}

std::string onPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return executable(name) ? name : "";
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    size_t end = dirs.find(':');
    std::filesystem::path candidate = std::filesystem::path(dirs.substr(0, end)) / name;
    if (executable(candidate)) return candidate.string();
    dirs = end == std::string_view::npos ? "" : dirs.substr(end + 1);
  }
  return "";
}

// Assuan text: percent, CR, LF and other control bytes are escaped.
std::string escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The running program; ends it when it goes away.
class Child {
 public:
  ~Child() {
    if (fd_ >= 0) close(fd_);
    if (pid_ <= 0) return;
    // Closing our end lets pinentry exit by itself; a cancelled one is told
    // to go at once.
    if (terminate_) kill(pid_, SIGTERM);
    if (!reapWithin(terminate_ ? kTerminateGrace : kExitGrace)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The dialog was cancelled: end the program rather than wait for it.
  void terminate() { terminate_ = true; }

  bool start(const std::string& program, std::string& failure) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      failure = std::string("socketpair: ") + std::strerror(errno);
      return false;
    }
    fd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
      pid_ = -1;
      failure = program + ": " + std::strerror(error);
      return false;
    }
    return true;
  }

  int fd() const { return fd_; }

 private:
  bool reapWithin(std::chrono::milliseconds grace) {
    auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
      pid_t done = waitpid(pid_, nullptr, WNOHANG);
      if (done == pid_ || (done < 0 && errno != EINTR)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool terminate_ = false;
};

class Conversation {
 public:
  // `cancelFd`, when not -1, ends any wait as soon as it is readable.
  Conversation(int fd, int cancelFd, std::chrono::steady_clock::time_point deadline)
      : fd_(fd), cancelFd_(cancelFd), deadline_(deadline) {}
  ~Conversation() { wipe(); }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  enum class Answer { Ok, Err, Broken, Cancelled };

  bool send(const std::string& line) {
    std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads up to OK or ERR; D lines are decoded into `data` when given.
  Answer await(SecretBuffer* data, unsigned long& errCode, std::string& errText) {
    SecretBuffer line(4096);
    for (;;) {
      line.clear();
      if (!readLine(line)) return cancelled_ ? Answer::Cancelled : Answer::Broken;
      std::string_view text(line.data(), line.size());
      if (text == "OK" || text.starts_with("OK ")) return Answer::Ok;
      if (text.starts_with("ERR ")) {
        errCode = std::strtoul(line.data() + 4, nullptr, 10);
        size_t space = text.find(' ', 4);
        errText = space == std::string_view::npos ? "" : std::string(text.substr(space + 1));
        return Answer::Err;
      }
      if (text.starts_with("D ") && data) {
        for (size_t i = 2; i < text.size(); ++i) {
          char c = text[i];
          if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
              hexValue(text[i + 2]) >= 0) {
            c = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
          }
          if (!data->append(c)) return Answer::Broken;
        }
      }
      // S (status), # (comment) and INQUIRE lines are not for us; pinentry
      // never inquires.
      if (text.starts_with("INQUIRE")) send("CAN");
    }
  }

  Answer command(const std::string& line) {
    unsigned long code = 0;
    std::string text;
    if (!send(line)) return Answer::Broken;
    return await(nullptr, code, text);
  }

 private:
  bool readLine(SecretBuffer& line) {
    for (;;) {
      while (pos_ < size_) {
        char c = buffer_[pos_++];
        if (c == '\n') {
          if (pos_ == size_) wipe();
          return true;
        }
        if (!line.append(c)) return false;
      }
      wipe();
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfds[2] = {{fd_, POLLIN, 0}, {cancelFd_, POLLIN, 0}};
      int ready = poll(pfds, cancelFd_ >= 0 ? 2 : 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      if (cancelFd_ >= 0 && (pfds[1].revents & POLLIN)) {
        cancelled_ = true;
        return false;
      }
      ssize_t n = read(fd_, buffer_, sizeof buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      size_ = static_cast<size_t>(n);
    }
  }

  // The raw bytes may hold the PIN.
  void wipe() {
    OPENSSL_cleanse(buffer_, sizeof buffer_);
    pos_ = size_ = 0;
  }

  int fd_;
  int cancelFd_;
  bool cancelled_ = false;
  std::chrono::steady_clock::time_point deadline_;
  char buffer_[512] = {};
  size_t pos_ = 0;
  size_t size_ = 0;
};

std::optional<std::string> defaultTty() {
  if (const char* tty = std::getenv("GPG_TTY"); tty && *tty) return std::string(tty);
  if (isatty(STDIN_FILENO)) {
    if (const char* name = ttyname(STDIN_FILENO)) return std::string(name);
  }
  return std::nullopt;
}

class PinentryPrompt : public PinPrompt {
 public:
  explicit PinentryPrompt(PinentryOptions options) : options_(std::move(options)) {}

  PinReply ask(const PinRequest& request) override {
    PinReply reply;
    const Cancellation* cancellation = request.cancellation;
    if (cancellation && cancellation->cancelled()) {
      reply.outcome = PinReply::Outcome::Cancelled;
      return reply;
    }
    std::string program =
        options_.program.empty() ? findPinentryProgram() : onPath(options_.program);
    if (program.empty()) {
      reply.failure = options_.program.empty() ? "no pinentry program is installed"
                                               : options_.program + " cannot be run";
      return reply;
    }
    Child child;
    if (!child.start(program, reply.failure)) return reply;
    int wait = options_.timeoutSeconds > 0 ? options_.timeoutSeconds + 30 : kDefaultWaitSeconds;
    Conversation talk(child.fd(), cancellation ? cancellation->fd() : -1,
                      std::chrono::steady_clock::now() + std::chrono::seconds(wait));
    auto cancelled = [&] {
      child.terminate();
      reply.pin.clear();
      reply.outcome = PinReply::Outcome::Cancelled;
      return std::move(reply);
    };

    unsigned long code = 0;
    std::string text;
    switch (talk.await(nullptr, code, text)) {
      case Conversation::Answer::Ok:
        break;
      case Conversation::Answer::Cancelled:
        return cancelled();
      default:
        reply.failure = program + " did not greet";
        return reply;
    }
    // Option and text commands a flavour does not know are not fatal.
    // SETKEYINFO and the external password cache are never offered: the
    // PIN must not end up in a keyring.
    auto tty = options_.ttyName ? options_.ttyName : defaultTty();
    if (tty) {
      talk.command("OPTION ttyname=" + escape(*tty));
      const char* term = std::getenv("TERM");
      talk.command(std::string("OPTION ttytype=") + (term && *term ? term : "dumb"));
    }
    // Transient for the main window, so it opens over it, not anywhere.
    if (options_.parentWindowId) {
      std::string window = options_.parentWindowId();
      if (!window.empty()) talk.command("OPTION parent-wid=" + escape(window));
    }
    if (options_.timeoutSeconds > 0) {
      talk.command("SETTIMEOUT " + std::to_string(options_.timeoutSeconds));
    }
    talk.command("SETTITLE " + escape("Vellumark: token PIN"));
    talk.command("SETDESC " + escape(request.description));
    talk.command("SETPROMPT " + escape(request.prompt));
    if (!request.error.empty()) talk.command("SETERROR " + escape(request.error));

    if (cancellation && cancellation->cancelled()) return cancelled();
    if (!talk.send("GETPIN")) {
      reply.failure = program + " closed the connection";
      return reply;
    }
    switch (talk.await(&reply.pin, code, text)) {
      case Conversation::Answer::Ok:
        reply.outcome = PinReply::Outcome::Entered;
        break;
      case Conversation::Answer::Err:
        reply.pin.clear();
        if ((code & 0xFFFF) == kGpgCanceled || (code & 0xFFFF) == kGpgFullyCanceled) {
          reply.outcome = PinReply::Outcome::Cancelled;
        } else if ((code & 0xFFFF) == kGpgTimeout) {
          reply.outcome = PinReply::Outcome::TimedOut;
        } else {
          reply.failure = program + ": " + std::to_string(code) + " " + text;
        }
        break;
      case Conversation::Answer::Broken:
        reply.pin.clear();
        reply.failure = program + " gave no answer";
        break;
      case Conversation::Answer::Cancelled:
        return cancelled();
    }
    talk.send("BYE");
    return reply;
  }

 private:
  PinentryOptions options_;
};

}  // namespace

std::string findPinentryProgram() {
  if (const char* chosen = std::getenv("VELLUMARK_PINENTRY"); chosen && *chosen) {
    return onPath(chosen);
  }
  std::vector<const char*> flavours;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((display && *display) || (wayland && *wayland)) {
    flavours = {"pinentry-gnome3", "pinentry-gtk-2", "pinentry-gtk2", "pinentry-qt",
                "pinentry-qt5"};
  }
  // The generic "pinentry" may pick curses; name the text flavours first.
  for (const char* name : {"pinentry-tty", "pinentry-curses", "pinentry"}) {
    flavours.push_back(name);
  }
  for (const char* name : flavours) {
    if (std::string path = onPath(name); !path.empty()) return path;
  }
  return "";
}

std::shared_ptr<PinPrompt> createPinentryPrompt(PinentryOptions options) {
  return std::make_shared<PinentryPrompt>(std::move(options));
}

}  // namespace vellumark::linux_platform
