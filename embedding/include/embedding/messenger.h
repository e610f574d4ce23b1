// The binary messenger: raw messages between the host's plugins and the UI.
// Everything here is main-thread only.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>

#include "embedding/channel_value.h"

namespace vellumark {

// Logs one line to standard error. Replaceable so tests can capture it.
void logEngineMessage(const std::string& line);
void setEngineLogSink(std::function<void(const std::string&)> sink);

// Answers one incoming message, exactly once. A cheap copyable handle: all
// copies share one state. A second answer is ignored and logged; when the last
// copy goes away unanswered, the empty reply is sent and the drop is logged.
class BinaryReply {
 public:
  using Sender = std::function<void(std::span<const uint8_t>)>;
  // Whether the sender of the message has gone (its UI hung up).
  using AbandonedProbe = std::function<bool()>;

  BinaryReply() = default;
  BinaryReply(std::string channel, Sender sender, AbandonedProbe abandoned = nullptr);

  // An empty span is the engine's empty reply ("no handler" / not implemented).
  void operator()(std::span<const uint8_t> reply) const;
  void sendEmpty() const { (*this)({}); }
  bool answered() const;
  // True once whoever sent the message can no longer take the reply: work it
  // asked for may be skipped. The reply is still given (it goes nowhere).
  bool abandoned() const;
  explicit operator bool() const { return state_ != nullptr; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

using BinaryMessageHandler =
    std::function<void(std::span<const uint8_t> message, BinaryReply reply)>;
// Called once with the reply's bytes; an empty span is the empty reply.
using BinaryReplyCallback = std::function<void(std::span<const uint8_t> reply)>;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;
  // Sends a message to the UI. With a callback, it runs exactly once.
  virtual void sendOnChannel(const std::string& channel, Bytes message,
                             BinaryReplyCallback callback = nullptr) = 0;
  // A null handler removes the channel's handler.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace vellumark
