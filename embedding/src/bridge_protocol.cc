#include "embedding/bridge_protocol.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "utf8.h"

namespace vellumark::bridge {
namespace {

void putU32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void putU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

Bytes startFrame(size_t length, FrameKind kind, uint32_t id) {
  if (length > kMaxFrameLength) {
    throw FrameError("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                     std::to_string(kMaxFrameLength));
  }
  Bytes out;
  out.reserve(kLengthFieldSize + length);
  putU32(out, static_cast<uint32_t>(length));
  out.push_back(static_cast<uint8_t>(kind));
  putU32(out, id);
  return out;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  return internal::isValidUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

Bytes encodeMessageFrame(std::string_view channel, uint32_t id, std::span<const uint8_t> payload) {
  if (channel.empty()) throw FrameError("empty channel name");
  if (channel.size() > kMaxChannelNameLength) {
    throw FrameError("channel name of " + std::to_string(channel.size()) + " bytes is too long");
  }
  if (!isValidUtf8(channel)) throw FrameError("channel name is not valid UTF-8");
  const size_t length = kFrameHeaderSize + 2 + channel.size() + payload.size();
  Bytes out = startFrame(length, FrameKind::Message, id);
  putU16(out, static_cast<uint16_t>(channel.size()));
  out.insert(out.end(), channel.begin(), channel.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes encodeReplyFrame(uint32_t id, std::span<const uint8_t> payload) {
  Bytes out = startFrame(kFrameHeaderSize + payload.size(), FrameKind::Reply, id);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes encodeFrame(const Frame& frame) {
  return frame.kind == FrameKind::Message
             ? encodeMessageFrame(frame.channel, frame.id, frame.payload)
             : encodeReplyFrame(frame.id, frame.payload);
}

void FrameReader::feed(std::span<const uint8_t> data) {
  if (failed() || data.empty()) return;
  // Drop consumed bytes before growing, so a long stream does not pile up.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= 64 * 1024)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data.begin(), data.end());
}

void FrameReader::fail(std::string message) {
  error_ = std::move(message);
  buffer_.clear();
  start_ = 0;
}

std::optional<Frame> FrameReader::next() {
  if (failed()) return std::nullopt;
  const size_t available = buffered();
  if (available < kLengthFieldSize) return std::nullopt;
  const uint8_t* p = buffer_.data() + start_;
  const size_t length = getU32(p);
  // Checked as soon as the field is in, so a huge length is refused before
  // any of its body is buffered.
  if (length > maxFrameLength_) {
    fail("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
         std::to_string(maxFrameLength_));
    return std::nullopt;
  }
  if (length < kFrameHeaderSize) {
    fail("frame of " + std::to_string(length) + " bytes is shorter than its header");
    return std::nullopt;
  }
  if (available >= kLengthFieldSize + 1) {
    const uint8_t kind = p[kLengthFieldSize];
    if (kind != static_cast<uint8_t>(FrameKind::Message) &&
        kind != static_cast<uint8_t>(FrameKind::Reply)) {
      fail("unknown frame kind " + std::to_string(kind));
      return std::nullopt;
    }
  }
  if (available < kLengthFieldSize + length) return std::nullopt;

  const uint8_t* body = p + kLengthFieldSize;
  const uint8_t* end = body + length;
  Frame frame;
  frame.kind = static_cast<FrameKind>(body[0]);
  frame.id = getU32(body + 1);
  const uint8_t* rest = body + kFrameHeaderSize;
  if (frame.kind == FrameKind::Message) {
    if (end - rest < 2) {
      fail("message frame too short for its channel name length");
      return std::nullopt;
    }
    const size_t nameLength = getU16(rest);
    rest += 2;
    if (static_cast<size_t>(end - rest) < nameLength) {
      fail("channel name length " + std::to_string(nameLength) + " runs past the frame end");
      return std::nullopt;
    }
    frame.channel.assign(reinterpret_cast<const char*>(rest), nameLength);
    rest += nameLength;
    if (frame.channel.empty()) {
      fail("message frame with an empty channel name");
      return std::nullopt;
    }
    if (!isValidUtf8(frame.channel)) {
      fail("channel name is not valid UTF-8");
      return std::nullopt;
    }
  }
  frame.payload.assign(rest, end);
  start_ += kLengthFieldSize + length;
  return frame;
}

std::string socketPath(const EnvLookup& env, unsigned long uid) {
  auto get = [&](const char* name) -> std::string {
    const char* v = env ? env(name) : nullptr;
    return v ? std::string(v) : std::string();
  };
  if (std::string explicitPath = get("VELLUMARK_UI_SOCKET"); !explicitPath.empty()) {
    return explicitPath;
  }
  if (std::string runtime = get("XDG_RUNTIME_DIR"); !runtime.empty()) {
    while (runtime.size() > 1 && runtime.back() == '/') runtime.pop_back();
    return runtime + "/vellumark/ui.sock";
  }
  return "/tmp/vellumark-" + std::to_string(uid) + "/ui.sock";
}

std::string socketPath() {
  return socketPath([](const char* name) { return std::getenv(name); },
                    static_cast<unsigned long>(::getuid()));
}

}  // namespace vellumark::bridge
