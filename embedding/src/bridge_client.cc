#include "embedding/bridge_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vellumark::bridge {
namespace {

std::string errnoText(const char* call, int err) {
  return std::string(call) + ": " + std::strerror(err);
}

// now + timeout, saturating: kNoTimeout must not overflow the clock.
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = std::chrono::steady_clock::now();
  if (timeout.count() <= 0) return now;
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::time_point::max() - now);
  return timeout >= room ? std::chrono::steady_clock::time_point::max() : now + timeout;
}

std::string secondsText(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  std::string text = std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1);
  while (text.back() == '0') text.pop_back();
  return text + " s";
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 1000000 ? 1000000 : static_cast<int>(left.count());
}

}  // namespace

BridgeClient::~BridgeClient() { close(); }

void BridgeClient::connect(const std::string& path, Duration timeout) {
  close();
  const auto deadline = deadlineAfter(timeout);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    throw BridgeConnectError("cannot connect to " + path + ": socket path is empty or too long");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  auto fail = [&](int fd, const std::string& why) {
    ::close(fd);
    throw BridgeConnectError("cannot connect to " + path + ": " + why);
  };
  // Non-blocking from the start: every wait goes through poll() or a retry
  // with a deadline.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    throw BridgeConnectError("cannot connect to " + path + ": " + errnoText("socket", errno));
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN) {
      // A local socket's backlog is full: the host is not accepting. There
      // is nothing to poll for; look again shortly.
      if (Clock::now() >= deadline) {
        fail(fd, "the host took no connection within " + secondsText(timeout));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(remainingMs(deadline), 20)));
      continue;
    }
    if (err == EINPROGRESS) {
      pollfd pfd{fd, POLLOUT, 0};
      int r = 0;
      do {
        r = ::poll(&pfd, 1, remainingMs(deadline));
      } while (r < 0 && errno == EINTR);
      if (r == 0) fail(fd, "the host took no connection within " + secondsText(timeout));
      int soError = 0;
      socklen_t len = sizeof(soError);
      if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
        fail(fd, errnoText("poll", errno));
      }
      if (soError != 0) fail(fd, std::strerror(soError));
      break;
    }
    fail(fd, std::strerror(err));
  }
  fd_ = fd;
  reader_ = FrameReader();
  hostMessages_.clear();
  awaiting_.reset();
  awaitedReply_.reset();
  abandoned_.clear();
}

void BridgeClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void BridgeClient::failConnection(const std::string& why) {
  close();
  throw BridgeError(why);
}

uint32_t BridgeClient::nextId() {
  do {
    ++lastId_;
  } while (lastId_ == 0 || abandoned_.contains(lastId_));
  return lastId_;
}

void BridgeClient::writeAll(const Bytes& frame, Clock::time_point deadline) {
  if (fd_ < 0) throw BridgeError("not connected");
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = ::send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd_, POLLOUT, 0};
      const int r = ::poll(&pfd, 1, remainingMs(deadline));
      if (r == 0) {
        // A frame cut short would corrupt the stream: give the connection up.
        close();
        throw BridgeTimeout("timed out writing to the host");
      }
      if (r < 0 && errno != EINTR) failConnection(errnoText("poll", errno));
      continue;
    }
    failConnection("connection to the host lost: " + errnoText("send", errno));
  }
}

bool BridgeClient::readSome(Clock::time_point deadline) {
  if (fd_ < 0) throw BridgeError("not connected");
  for (;;) {
    pollfd pfd{fd_, POLLIN, 0};
    const int r = ::poll(&pfd, 1, remainingMs(deadline));
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      failConnection(errnoText("poll", errno));
    }
    uint8_t buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) failConnection("connection to the host lost: " + errnoText("recv", errno));
    if (n == 0) failConnection("the host closed the connection");
    reader_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
    while (auto frame = reader_.next()) handleFrame(std::move(*frame));
    if (reader_.failed()) failConnection("protocol error from the host: " + reader_.error());
    return true;
  }
}

void BridgeClient::handleFrame(Frame frame) {
  if (frame.kind == FrameKind::Message) {
    hostMessages_.push_back({std::move(frame.channel), frame.id, std::move(frame.payload)});
    return;
  }
  if (awaiting_ && *awaiting_ == frame.id && !awaitedReply_) {
    awaitedReply_ = std::move(frame.payload);
    return;
  }
  if (abandoned_.erase(frame.id) > 0) return;  // the late answer to a call that timed out
  failConnection("protocol error from the host: reply to id " + std::to_string(frame.id) +
                 ", which is not pending");
}

Bytes BridgeClient::call(const std::string& channel, std::span<const uint8_t> payload,
                         Duration timeout) {
  const auto deadline = deadlineAfter(timeout);
  const uint32_t id = nextId();
  Bytes frame;
  try {
    frame = encodeMessageFrame(channel, id, payload);
  } catch (const FrameError& e) {
    throw BridgeError(std::string("cannot send: ") + e.what());
  }
  awaiting_ = id;
  awaitedReply_.reset();
  try {
    writeAll(frame, deadline);
    while (!awaitedReply_) {
      if (!readSome(deadline)) throw BridgeTimeout("timed out waiting for the reply on " + channel);
    }
  } catch (const BridgeTimeout&) {
    awaiting_.reset();
    if (connected()) abandoned_.insert(id);
    throw;
  } catch (...) {
    awaiting_.reset();
    throw;
  }
  awaiting_.reset();
  Bytes reply = std::move(*awaitedReply_);
  awaitedReply_.reset();
  return reply;
}

void BridgeClient::send(const std::string& channel, std::span<const uint8_t> payload,
                        Duration timeout) {
  Bytes frame;
  try {
    frame = encodeMessageFrame(channel, 0, payload);
  } catch (const FrameError& e) {
    throw BridgeError(std::string("cannot send: ") + e.what());
  }
  writeAll(frame, deadlineAfter(timeout));
}

std::optional<HostMessage> BridgeClient::nextHostMessage(Duration timeout) {
  const auto deadline = deadlineAfter(timeout);
  while (hostMessages_.empty()) {
    if (!readSome(deadline)) return std::nullopt;
  }
  HostMessage m = std::move(hostMessages_.front());
  hostMessages_.pop_front();
  return m;
}

void BridgeClient::reply(uint32_t id, std::span<const uint8_t> payload, Duration timeout) {
  Bytes frame;
  try {
    frame = encodeReplyFrame(id, payload);
  } catch (const FrameError& e) {
    throw BridgeError(std::string("cannot send: ") + e.what());
  }
  writeAll(frame, deadlineAfter(timeout));
}

bool BridgeClient::peerClosed() {
  if (fd_ < 0) return true;
  try {
    while (readSome(Clock::now())) {
    }
  } catch (const BridgeError&) {
    return true;
  }
  return false;
}

}  // namespace vellumark::bridge
