// Method, event and basic-message channels over a BinaryMessenger.
// Main-thread only. A channel, or an event sink, that outlives its messenger
// does nothing (logged) instead of touching it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "embedding/codec.h"
#include "embedding/messenger.h"

namespace vellumark {

// The marker answer "this method is not implemented": the empty reply.
struct FlutterMethodNotImplementedT {
  bool operator==(const FlutterMethodNotImplementedT&) const = default;
};
inline constexpr FlutterMethodNotImplementedT FlutterMethodNotImplemented{};

// What the UI answered to a method call the host sent.
using MethodResponse = std::variant<ChannelValue, ChannelError, FlutterMethodNotImplementedT>;

// Answers one method call exactly once; copies share the state (BinaryReply).
class MethodResult {
 public:
  MethodResult() = default;
  MethodResult(BinaryReply reply, std::shared_ptr<const StandardMethodCodec> codec);

  void success(const ChannelValue& value = {}) const;
  void error(const ChannelError& error) const;
  void error(std::string code, std::optional<std::string> message, ChannelValue details = {}) const;
  void notImplemented() const;
  // Any of the three, as the engine's result block takes them.
  void operator()(const MethodResponse& response) const;
  bool answered() const { return reply_.answered(); }
  // The caller has gone: the work may be skipped, the answer still given.
  bool abandoned() const { return reply_.abandoned(); }

 private:
  BinaryReply reply_;
  std::shared_ptr<const StandardMethodCodec> codec_;
};

using MethodCallHandler = std::function<void(const MethodCall& call, MethodResult result)>;

class FlutterMethodChannel {
 public:
  FlutterMethodChannel(
      std::string name, BinaryMessenger& messenger,
      std::shared_ptr<const StandardMethodCodec> codec = StandardMethodCodec::sharedInstance());

  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(std::string name,
                                                                     BinaryMessenger& messenger);

  const std::string& name() const { return name_; }
  BinaryMessenger& messenger() const { return messenger_; }

  // A call that does not decode gets the empty reply. A null handler removes it.
  void setMethodCallHandler(MethodCallHandler handler);
  // Sends a call to the UI; no answer awaited.
  void invokeMethod(const std::string& method, const ChannelValue& arguments);
  // `result` runs exactly once; at once, with FlutterMethodNotImplemented,
  // when the messenger is gone.
  void invokeMethod(const std::string& method, const ChannelValue& arguments,
                    std::function<void(const MethodResponse&)> result);

 private:
  std::string name_;
  BinaryMessenger& messenger_;
  std::weak_ptr<const void> messengerAlive_;
  std::shared_ptr<const StandardMethodCodec> codec_;
};

// Pushes events to the UI between listen and cancel. Copyable; after cancel
// (or once the channel's listener changed) every copy does nothing, and once
// the engine is gone every copy does nothing and says so once in the log.
class EventSink {
 public:
  EventSink() = default;
  void success(const ChannelValue& event) const;
  void error(const ChannelError& error) const;
  void operator()(const ChannelValue& event) const { success(event); }
  bool active() const;
  explicit operator bool() const { return active(); }

 private:
  friend class FlutterEventChannel;
  struct State;
  bool deliverable() const;
  explicit EventSink(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class FlutterStreamHandler {
 public:
  virtual ~FlutterStreamHandler() = default;
  virtual std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                            EventSink events) = 0;
  virtual std::optional<ChannelError> onCancelWithArguments(const ChannelValue& arguments) = 0;
};

class FlutterEventChannel {
 public:
  FlutterEventChannel(
      std::string name, BinaryMessenger& messenger,
      std::shared_ptr<const StandardMethodCodec> codec = StandardMethodCodec::sharedInstance());

  static std::shared_ptr<FlutterEventChannel> eventChannelWithName(std::string name,
                                                                   BinaryMessenger& messenger);

  const std::string& name() const { return name_; }

  // "listen" while listening cancels the old stream first; "cancel" while not
  // listening answers an error. A null handler removes it. A handler that
  // throws from "listen" leaves no stream behind.
  void setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler);

 private:
  std::string name_;
  BinaryMessenger& messenger_;
  std::weak_ptr<const void> messengerAlive_;
  std::shared_ptr<const StandardMethodCodec> codec_;
};

using BasicMessageReply = std::function<void(const ChannelValue& reply)>;
using BasicMessageHandler =
    std::function<void(const ChannelValue& message, BasicMessageReply reply)>;

class FlutterBasicMessageChannel {
 public:
  FlutterBasicMessageChannel(
      std::string name, BinaryMessenger& messenger,
      std::shared_ptr<const MessageCodec> codec = StandardMessageCodec::sharedInstance());

  const std::string& name() const { return name_; }

  // A message that does not decode gets the empty reply. The reply callback
  // answers exactly once (BinaryReply). A null handler removes it.
  void setMessageHandler(BasicMessageHandler handler);
  // `reply` runs exactly once; at once, with nullopt, when the messenger is gone.
  void sendMessage(const ChannelValue& message,
                   std::function<void(std::optional<ChannelValue>)> reply = nullptr);

 private:
  std::string name_;
  BinaryMessenger& messenger_;
  std::weak_ptr<const void> messengerAlive_;
  std::shared_ptr<const MessageCodec> codec_;
};

}  // namespace vellumark

namespace vellumark {
// Decodes the UI's answer to a host method call: an empty reply is
// FlutterMethodNotImplemented. Throws CodecError on a malformed envelope.
MethodResponse decodeMethodResponse(std::span<const uint8_t> reply,
                                    const StandardMethodCodec& codec);
}  // namespace vellumark
