// The UI bridge's wire format: length-prefixed frames over a local stream
// socket, and where that socket lives. Portable: no GLib, no sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "embedding/channel_value.h"

namespace vellumark::bridge {

// Largest value of a frame's length field: kind, id and the rest.
inline constexpr size_t kMaxFrameLength = size_t{64} * 1024 * 1024;
// Bytes of the length field itself.
inline constexpr size_t kLengthFieldSize = 4;
// kind (1) + id (4).
inline constexpr size_t kFrameHeaderSize = 5;
inline constexpr size_t kMaxChannelNameLength = 0xFFFF;

enum class FrameKind : uint8_t { Message = 1, Reply = 2 };

struct Frame {
  FrameKind kind = FrameKind::Message;
  // 0 on a message: the sender wants no reply.
  uint32_t id = 0;
  // Messages only.
  std::string channel;
  Bytes payload;

  bool operator==(const Frame&) const = default;
};

// A frame that cannot be encoded (name or payload too long).
class FrameError : public std::length_error {
 public:
  using std::length_error::length_error;
};

// Whole frames, length field included. Throw FrameError when the frame would
// exceed kMaxFrameLength or the name kMaxChannelNameLength, or the name is not
// valid UTF-8 or is empty.
Bytes encodeMessageFrame(std::string_view channel, uint32_t id, std::span<const uint8_t> payload);
Bytes encodeReplyFrame(uint32_t id, std::span<const uint8_t> payload);
Bytes encodeFrame(const Frame& frame);

bool isValidUtf8(std::string_view text);

// Splits a byte stream into frames. Fed arbitrary chunks; after a protocol
// error it keeps the error and yields nothing more.
class FrameReader {
 public:
  explicit FrameReader(size_t maxFrameLength = kMaxFrameLength) : maxFrameLength_(maxFrameLength) {}

  void feed(std::span<const uint8_t> data);
  // The next complete frame, or nullopt when more bytes are needed or the
  // stream failed (see failed()).
  std::optional<Frame> next();

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Bytes received but not yet returned as frames. Non-zero at end of stream
  // means the peer stopped inside a frame.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  void fail(std::string message);
  Bytes buffer_;
  size_t start_ = 0;
  size_t maxFrameLength_;
  std::string error_;
};

// The socket path: $VELLUMARK_UI_SOCKET, else $XDG_RUNTIME_DIR/vellumark/ui.sock,
// else /tmp/vellumark-$UID/ui.sock. Empty variables count as unset.
using EnvLookup = std::function<const char*(const char* name)>;
std::string socketPath(const EnvLookup& env, unsigned long uid);
// Same, from the process environment and real uid.
std::string socketPath();

}  // namespace vellumark::bridge
