#include "embedding_glib/ui_bridge.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <utility>

#include "embedding/bridge_protocol.h"

namespace vellumark {
namespace {

// The UI has stopped reading when this much output is queued for it.
constexpr size_t kMaxQueuedOutput = 4 * bridge::kMaxFrameLength;
// Bytes read per dispatch, so a chatty UI cannot starve the main loop.
constexpr size_t kReadBudget = 1024 * 1024;
constexpr int kListenBacklog = 8;

// The one place errno becomes text: the failed call, then the reason.
std::string systemError(const std::string& call, int err) {
  return call + ": " + std::strerror(err);
}

void logBridge(const std::string& line) { logEngineMessage("UI bridge: " + line); }

// Host callbacks must not throw into GLib; a fault there is logged.
void runHostCallback(const BinaryReplyCallback& callback, std::span<const uint8_t> reply) {
  if (!callback) return;
  try {
    callback(reply);
  } catch (const std::exception& e) {
    logBridge(std::string("reply callback failed: ") + e.what());
  } catch (...) {
    logBridge("reply callback failed");
  }
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return std::nullopt;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Creates the missing folders of `dir` with mode 0700. Existing ones are left
// as they are: they may be shared folders such as /tmp.
bool makeFolders(const std::string& dir, std::string* error) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = dir + " is not a folder";
    return false;
  }
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(dir.substr(0, slash), error)) {
    return false;
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = systemError("mkdir " + dir, errno);
    return false;
  }
  // The umask may have taken bits away; the folder is the user's alone.
  if (::chmod(dir.c_str(), 0700) != 0) {
    *error = systemError("chmod " + dir, errno);
    return false;
  }
  return true;
}

// Someone who can write to the socket's folder can swap the socket, so the
// folder must be ours (or a root-owned sticky one such as /tmp) and closed
// to others.
bool folderIsPrivateEnough(const std::string& dir, std::string* error) {
  struct stat st {};
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
    *error = systemError("stat " + dir, errno);
    return false;
  }
  const bool sticky = (st.st_mode & S_ISVTX) != 0;
  if (st.st_uid != ::geteuid() && !(st.st_uid == 0 && sticky)) {
    *error = "the folder " + dir + " belongs to another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
    *error = "the folder " + dir + " is writable by others";
    return false;
  }
  return true;
}

enum class Lock { Taken, Busy, Failed };

// Takes the exclusive lock that says "a host serves this path". The previous
// holder may remove the file between our open and our lock: the lock counts
// only on the file the path still names.
Lock takeLock(const std::string& lockPath, int* lockFd, std::string* error) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) {
      *error = systemError("open " + lockPath, errno);
      return Lock::Failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Lock::Busy;
      *error = systemError("flock " + lockPath, errno);
      return Lock::Failed;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.get(), &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      *lockFd = fd.release();
      return Lock::Taken;
    }
  }
  *error = lockPath + " keeps being replaced";
  return Lock::Failed;
}

// Removes the lock file while still holding the lock, then lets it go.
void releaseLock(int& lockFd, const std::string& lockPath) {
  if (lockFd < 0) return;
  struct stat held {};
  struct stat named {};
  if (::fstat(lockFd, &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    ::unlink(lockPath.c_str());
  }
  ::close(lockFd);
  lockFd = -1;
}

enum class Probe { Absent, Stale, Live, Failed };

// Whether something still answers on an existing socket file. Only reached
// with the path's lock held, so what answers is no host of ours: a process
// that listens there without the lock.
Probe probeExisting(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return Probe::Absent;
    *error = systemError("lstat " + path, errno);
    return Probe::Failed;
  }
  if (!S_ISSOCK(st.st_mode)) {
    *error = path + " exists and is not a socket";
    return Probe::Failed;
  }
  auto addr = socketAddress(path);
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = systemError("socket", errno);
    return Probe::Failed;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)) == 0) {
    return Probe::Live;
  }
  switch (errno) {
    case ECONNREFUSED:
      return Probe::Stale;
    case ENOENT:
      return Probe::Absent;
    case EAGAIN:  // a full backlog: someone listens
    case EINPROGRESS:
      return Probe::Live;
    default:
      *error = systemError("connect " + path, errno);
      return Probe::Failed;
  }
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

// One UI's connection: frames in both directions, the replies the UI owes
// the host by id. Replies the host owes the UI hold a weak reference, so one
// that comes after the connection closed is dropped.
class UiBridge::Connection : public UiConnection, public std::enable_shared_from_this<Connection> {
 public:
  Connection(UiBridge& bridge, int fd)
      : bridge_(&bridge), fd_(fd), gone_(std::make_shared<std::atomic<bool>>(false)) {}
  ~Connection() override {
    removeSources();
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start() {
    readSource_ = g_unix_fd_add(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                &Connection::onReadable, this);
    // Delivers the held host messages.
    bridge_->messenger_.attachUi(this);
  }

  void deliver(const std::string& channel, std::span<const uint8_t> message,
               BinaryReplyCallback reply) override {
    if (closed_) {
      runHostCallback(reply, {});
      return;
    }
    const uint32_t id = reply ? allocateId() : 0;
    Bytes frame;
    try {
      frame = bridge::encodeMessageFrame(channel, id, message);
    } catch (const bridge::FrameError& e) {
      logBridge("cannot deliver a message on " + channel + ": " + e.what());
      runHostCallback(reply, {});
      return;
    }
    if (reply) pending_.emplace(id, std::move(reply));
    write(std::move(frame));
  }

  void messengerClosing() override {
    auto self = shared_from_this();
    close({});
  }

  // Ends the connection. A non-empty reason is a fault and is logged.
  void close(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    gone_->store(true);
    auto self = shared_from_this();
    if (!reason.empty()) logBridge(reason + "; connection closed");
    removeSources();
    ::close(fd_);
    fd_ = -1;
    out_.clear();
    if (bridge_) bridge_->connectionClosed(this);
    // Detached first, so what these callbacks send is held for the next UI.
    auto owed = std::move(pending_);
    pending_.clear();
    for (auto& entry : owed) runHostCallback(entry.second, {});
  }

  void forgetBridge() { bridge_ = nullptr; }

  // Reads what the peer sent so far, noticing a hang-up the main loop has
  // not dispatched yet. Returns whether the connection is still open.
  bool readNow() {
    auto self = shared_from_this();
    if (!closed_) readAvailable(true);
    return !closed_;
  }

 private:
  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto self = static_cast<Connection*>(data)->shared_from_this();
    self->readAvailable(false);
    if (self->closed_) {
      self->readSource_ = 0;
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }

  static gboolean onWritable(gint, GIOCondition, gpointer data) {
    auto self = static_cast<Connection*>(data)->shared_from_this();
    if (!self->flush() || self->outStart_ == self->out_.size()) {
      self->writeSource_ = 0;
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }

  void removeSources() {
    if (readSource_) g_source_remove(readSource_);
    if (writeSource_) g_source_remove(writeSource_);
    readSource_ = writeSource_ = 0;
  }

  uint32_t allocateId() {
    do {
      ++lastId_;
    } while (lastId_ == 0 || pending_.contains(lastId_));
    return lastId_;
  }

  // Reads until the socket is empty; `untilHangUp` also spends the recv that
  // tells an empty socket from one whose peer has gone.
  void readAvailable(bool untilHangUp) {
    uint8_t buf[65536];
    size_t budget = kReadBudget;
    while (!closed_ && budget > 0) {
      const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        close(systemError("recv", errno));
        return;
      }
      if (n == 0) {
        if (reader_.buffered() > 0) {
          close("protocol error: connection ended inside a frame (" +
                std::to_string(reader_.buffered()) + " bytes pending)");
        } else {
          close({});
        }
        return;
      }
      budget -= std::min(budget, static_cast<size_t>(n));
      reader_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
      while (!closed_) {
        auto frame = reader_.next();
        if (!frame) break;
        handleFrame(std::move(*frame));
      }
      if (!closed_ && reader_.failed()) {
        close("protocol error: " + reader_.error());
      }
      // A short read emptied the socket: more data or a hang-up wakes the
      // read source again, so no recv is spent on EAGAIN.
      if (!untilHangUp && static_cast<size_t>(n) < sizeof(buf)) return;
    }
  }

  void handleFrame(bridge::Frame frame) {
    if (frame.kind == bridge::FrameKind::Reply) {
      auto it = pending_.find(frame.id);
      if (it == pending_.end()) {
        close("protocol error: reply to id " + std::to_string(frame.id) + ", which is not pending");
        return;
      }
      BinaryReplyCallback callback = std::move(it->second);
      pending_.erase(it);
      runHostCallback(callback, frame.payload);
      return;
    }
    std::weak_ptr<Connection> weak = weak_from_this();
    BinaryReplyCallback reply;
    if (frame.id != 0) {
      reply = [weak, id = frame.id](std::span<const uint8_t> payload) {
        if (auto connection = weak.lock()) connection->sendReply(id, payload);
      };
    }
    // Probed from any thread: a flag of its own, so the probe never owns
    // (and never destroys) the connection.
    auto abandoned = [gone = gone_] { return gone->load(); };
    try {
      bridge_->messenger_.dispatchFromUi(frame.channel, frame.payload, std::move(reply),
                                         std::move(abandoned));
    } catch (const std::exception& e) {
      logBridge("handler on " + frame.channel + " failed: " + e.what());
    } catch (...) {
      logBridge("handler on " + frame.channel + " failed");
    }
  }

  void sendReply(uint32_t id, std::span<const uint8_t> payload) {
    if (closed_) return;
    Bytes frame;
    try {
      frame = bridge::encodeReplyFrame(id, payload);
    } catch (const bridge::FrameError& e) {
      // The UI still gets its one reply.
      logBridge(std::string("reply too large, sent empty: ") + e.what());
      frame = bridge::encodeReplyFrame(id, {});
    }
    write(std::move(frame));
  }

  // Sends at once what the socket takes when nothing is queued before it
  // (a reply then costs no extra main-loop turn); the rest waits for the
  // write source. A failed send is left to that source too, so it never
  // closes the connection under a caller's feet.
  void write(Bytes frame) {
    if (overflowed_) return;
    size_t sent = 0;
    if (!writeSource_ && outStart_ == out_.size()) {
      const ssize_t n = ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent = static_cast<size_t>(n);
      if (sent == frame.size()) return;
    }
    if (out_.size() - outStart_ + frame.size() - sent > kMaxQueuedOutput) {
      overflowed_ = true;
    } else {
      if (outStart_ == out_.size()) {
        out_.clear();
        outStart_ = 0;
      }
      out_.insert(out_.end(), frame.begin() + static_cast<std::ptrdiff_t>(sent), frame.end());
    }
    if (!writeSource_) {
      writeSource_ = g_unix_fd_add(fd_, static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP),
                                   &Connection::onWritable, this);
    }
  }

  // Sends what the socket takes. False when the connection closed.
  bool flush() {
    if (overflowed_) {
      close("the UI is not reading its messages");
      return false;
    }
    while (outStart_ < out_.size()) {
      const ssize_t n = ::send(fd_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        close(systemError("send", errno));
        return false;
      }
      outStart_ += static_cast<size_t>(n);
    }
    out_.clear();
    outStart_ = 0;
    return true;
  }

  UiBridge* bridge_;
  int fd_;
  guint readSource_ = 0;
  guint writeSource_ = 0;
  bridge::FrameReader reader_;
  Bytes out_;
  size_t outStart_ = 0;
  bool overflowed_ = false;
  std::map<uint32_t, BinaryReplyCallback> pending_;
  uint32_t lastId_ = 0;
  bool closed_ = false;
  std::shared_ptr<std::atomic<bool>> gone_;
};

struct UiBridge::Callbacks {
  static gboolean onAcceptReady(gint, GIOCondition, gpointer data) {
    static_cast<UiBridge*>(data)->acceptPending();
    return G_SOURCE_CONTINUE;
  }
};

UiBridge::UiBridge(EngineMessenger& messenger)
    : messenger_(messenger), messengerAlive_(messenger.lifetime()), expectedUid_(::geteuid()) {}

UiBridge::~UiBridge() {
  if (auto connection = connection_) {
    connection->close({});
    connection->forgetBridge();
  }
  stopListening();
}

bool UiBridge::listen(std::string path, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (listening()) {
    *error = "already listening on " + path_;
    return false;
  }
  if (!socketAddress(path)) {
    *error = "socket path is empty or too long: " + path;
    return false;
  }
  if (!makeFolders(parentOf(path), error) || !folderIsPrivateEnough(parentOf(path), error)) {
    return false;
  }
  const std::string lockPath = path + ".lock";
  int lockFd = -1;
  switch (takeLock(lockPath, &lockFd, error)) {
    case Lock::Busy:
      *error = "another host is listening on " + path;
      return false;
    case Lock::Failed:
      return false;
    case Lock::Taken:
      break;
  }
  // Released again on every way out that does not listen.
  struct LockGuard {
    int& fd;
    const std::string& path;
    ~LockGuard() { releaseLock(fd, path); }
  } lockGuard{lockFd, lockPath};
  switch (probeExisting(path, error)) {
    case Probe::Live:
      *error = "another host is listening on " + path;
      return false;
    case Probe::Failed:
      return false;
    case Probe::Absent:
    case Probe::Stale:
      break;
  }

  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = systemError("socket", errno);
    return false;
  }
  // Bound under a private name and renamed into place once listening, so the
  // path never shows a socket that refuses connections or has loose modes.
  const std::string parent = parentOf(path);
  std::string temp = (parent.empty() ? std::string() : parent + "/") + ".ui-" +
                     std::to_string(::getpid()) + ".sock";
  if (!socketAddress(temp)) temp = path;
  ::unlink(temp.c_str());
  const auto addr = *socketAddress(temp);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = systemError("bind " + temp, errno);
    return false;
  }
  auto fail = [&](const std::string& call) {
    *error = systemError(call, errno);
    ::unlink(temp.c_str());
    return false;
  };
  if (::chmod(temp.c_str(), 0600) != 0) return fail("chmod " + temp);
  if (::listen(fd.get(), kListenBacklog) != 0) return fail("listen " + temp);
  if (temp != path && ::rename(temp.c_str(), path.c_str()) != 0) return fail("rename " + path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail("stat " + path);

  socketDev_ = st.st_dev;
  socketIno_ = st.st_ino;
  path_ = std::move(path);
  listenFd_ = fd.release();
  lockFd_ = std::exchange(lockFd, -1);
  lockPath_ = lockPath;
  acceptSource_ = g_unix_fd_add(listenFd_, G_IO_IN, &Callbacks::onAcceptReady, this);
  g_message("UI bridge listening on %s", path_.c_str());
  return true;
}

void UiBridge::stopListening() {
  if (acceptSource_) g_source_remove(acceptSource_);
  acceptSource_ = 0;
  if (listenFd_ < 0) return;
  ::close(listenFd_);
  listenFd_ = -1;
  // Only our own socket: a successor may have replaced it.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_) {
    ::unlink(path_.c_str());
  }
  // Last: until the socket is gone, the path is still ours.
  releaseLock(lockFd_, lockPath_);
}

void UiBridge::acceptPending() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) logBridge(systemError("accept", errno));
      return;
    }
    accept(fd);
  }
}

void UiBridge::accept(int rawFd) {
  Fd fd(rawFd);
  if (messengerGone()) {
    logBridge("refused a connection: the engine has gone");
    return;
  }
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    logBridge("refused a connection: " + systemError("getsockopt SO_PEERCRED", errno));
    return;
  }
  if (cred.uid != expectedUid_) {
    logBridge("refused a connection from uid " + std::to_string(cred.uid));
    return;
  }
  // A UI that ran a command and left (hostctl, a script) may have hung up
  // before the main loop saw it: settle that before refusing the next one.
  if (auto current = connection_) current->readNow();  // closing it clears connection_
  if (connection_) {
    logBridge("refused a second UI connection");
    return;
  }
  // A peer that already hung up (another host's liveness probe, typically)
  // would only take the held messages with it.
  uint8_t peek = 0;
  if (::recv(fd.get(), &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return;
  connection_ = std::make_shared<Connection>(*this, fd.release());
  connection_->start();
}

void UiBridge::connectionClosed(Connection* connection) {
  if (connection_.get() != connection) return;
  // While the messenger closes, it has detached us already.
  if (!messengerGone()) messenger_.detachUi();
  connection_.reset();
  // Copied: the observer may replace itself.
  if (auto observer = onDisconnect_) observer();
}

}  // namespace vellumark
