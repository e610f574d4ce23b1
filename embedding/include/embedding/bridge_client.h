// A blocking UI-side client of the bridge socket (hostctl, tests, the demo).
// Not thread-safe: one thread uses a client at a time. It does not need the
// main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>

#include "embedding/bridge_protocol.h"

namespace vellumark::bridge {

// Connection failures, a closed connection and protocol errors.
class BridgeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Could not connect: no socket at the path, nobody listening, no access, or
// nobody taking the connection in time.
class BridgeConnectError : public BridgeError {
 public:
  using BridgeError::BridgeError;
};

class BridgeTimeout : public BridgeError {
 public:
  using BridgeError::BridgeError;
};

// A message the host sent; `id` 0 means it awaits no reply.
struct HostMessage {
  std::string channel;
  uint32_t id = 0;
  Bytes payload;
};

class BridgeClient {
 public:
  using Duration = std::chrono::milliseconds;
  static constexpr Duration kDefaultTimeout{10000};
  // Waits without end (a call a person must act on, such as a signature).
  static constexpr Duration kNoTimeout = Duration::max();

  BridgeClient() = default;
  ~BridgeClient();
  BridgeClient(const BridgeClient&) = delete;
  BridgeClient& operator=(const BridgeClient&) = delete;

  // Throws BridgeConnectError naming the path and the reason, also when the
  // host has not taken the connection within the timeout (its backlog is
  // full: it accepts nothing).
  void connect(const std::string& path, Duration timeout = kDefaultTimeout);
  void close();
  bool connected() const { return fd_ >= 0; }

  // Sends a message and waits for its reply (empty = the engine's empty
  // reply). Host messages arriving meanwhile are queued for nextHostMessage().
  // Throws BridgeTimeout, or BridgeError when the connection ends.
  Bytes call(const std::string& channel, std::span<const uint8_t> payload,
             Duration timeout = kDefaultTimeout);
  // Sends a message that wants no reply (id 0).
  void send(const std::string& channel, std::span<const uint8_t> payload,
            Duration timeout = kDefaultTimeout);
  // The next host message, or nullopt when none came within the timeout.
  // Throws BridgeError when the connection ends.
  std::optional<HostMessage> nextHostMessage(Duration timeout = kDefaultTimeout);
  // Answers a host message that carried a non-zero id.
  void reply(uint32_t id, std::span<const uint8_t> payload, Duration timeout = kDefaultTimeout);

  // Whether the host has closed the connection (reads pending input; does not block).
  bool peerClosed();

 private:
  using Clock = std::chrono::steady_clock;
  void writeAll(const Bytes& frame, Clock::time_point deadline);
  // Reads what arrives until the deadline or one chunk; false on timeout.
  bool readSome(Clock::time_point deadline);
  void handleFrame(Frame frame);
  void failConnection(const std::string& why);
  uint32_t nextId();

  int fd_ = -1;
  FrameReader reader_;
  std::deque<HostMessage> hostMessages_;
  uint32_t lastId_ = 0;
  // The call being waited for, and ones that timed out (their late replies are dropped).
  std::optional<uint32_t> awaiting_;
  std::optional<Bytes> awaitedReply_;
  std::set<uint32_t> abandoned_;
};

}  // namespace vellumark::bridge
