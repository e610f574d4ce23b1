// The binary messenger: raw messages between the host's plugins and the UI.
// Everything here is main-thread only unless a declaration says otherwise.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "embedding/channel_value.h"
#include "platform/task_queue.h"

namespace vellumark {

// Logs one line to standard error. Replaceable so tests can capture it.
// Any thread.
void logEngineMessage(const std::string& line);
void setEngineLogSink(std::function<void(const std::string&)> sink);

// Answers one incoming message, exactly once. A cheap copyable handle: all
// copies share one state. A second answer is ignored and logged; when the last
// copy goes away unanswered, the empty reply is sent and the drop is logged.
//
// Threads: a reply is made and answered on the main thread. Copies may be
// kept, copied and destroyed on any thread (a job on a worker queue); when the
// last copy of an unanswered reply goes away off the main thread, its empty
// reply is posted to the main queue the reply was made with, so the UI's
// connection is only ever written from the main thread. Without a main queue
// (a reply made outside an engine) it is sent in place.
class BinaryReply {
 public:
  using Sender = std::function<void(std::span<const uint8_t>)>;
  // Whether the sender of the message has gone (its UI hung up). Called on
  // any thread: it must be thread-safe and must not keep the UI alive.
  using AbandonedProbe = std::function<bool()>;

  // What the reply belongs to: an answer after the engine ended goes nowhere
  // (logged), and the queue the empty reply of a dropped one is sent from.
  struct Owner {
    std::weak_ptr<const void> engine;
    std::shared_ptr<platform::TaskQueue> mainQueue;
  };

  BinaryReply() = default;
  BinaryReply(std::string channel, Sender sender, AbandonedProbe abandoned = nullptr,
              std::optional<Owner> owner = std::nullopt);

  // An empty span is the engine's empty reply ("no handler" / not implemented).
  void operator()(std::span<const uint8_t> reply) const;
  void sendEmpty() const { (*this)({}); }
  bool answered() const;
  // True once whoever sent the message can no longer take the reply (the UI
  // hung up, or the engine is gone): work it asked for may be skipped. The
  // reply is still given (it goes nowhere). Any thread.
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
  BinaryMessenger() = default;
  // A copy is another messenger, with a lifetime of its own.
  BinaryMessenger(const BinaryMessenger&) : BinaryMessenger() {}
  BinaryMessenger& operator=(const BinaryMessenger&) { return *this; }
  virtual ~BinaryMessenger() = default;

  // Sends a message to the UI. With a callback, it runs exactly once.
  virtual void sendOnChannel(const std::string& channel, Bytes message,
                             BinaryReplyCallback callback = nullptr) = 0;
  // A null handler removes the channel's handler.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;

  // Expires when the messenger goes (or begins to go): channels, event sinks
  // and replies that outlive it check it and do nothing instead of touching a
  // dead object. An implementation that can run plugin code while it is torn
  // down calls endLifetime() first thing in its destructor.
  std::weak_ptr<const void> lifetime() const { return lifetime_; }

 protected:
  void endLifetime() { lifetime_.reset(); }

 private:
  std::shared_ptr<const void> lifetime_ = std::make_shared<char>();
};

}  // namespace vellumark
