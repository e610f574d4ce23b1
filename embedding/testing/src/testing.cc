#include "embedding/testing.h"

#include <stdexcept>

namespace vellumark::testing {

TestUi::TestUi(EngineMessenger& messenger) : messenger_(&messenger) { reconnect(); }

TestUi::~TestUi() {
  if (connected()) {
    connection_->store(false);
    if (messenger_ != nullptr) messenger_->detachUi();
  }
  answerOwed();
}

void TestUi::hangUp() {
  if (!connected()) return;
  connection_->store(false);
  if (messenger_ != nullptr) messenger_->detachUi();
  answerOwed();
}

void TestUi::reconnect() {
  if (messenger_ == nullptr) throw std::logic_error("TestUi: the messenger is gone");
  if (connected()) return;
  connection_ = std::make_shared<std::atomic<bool>>(true);
  messenger_->attachUi(this);
}

void TestUi::messengerClosing() {
  // Runs inside the messenger's destructor, while its plugins still live.
  if (connection_) connection_->store(false);
  answerOwed();
  *messengerOpen_ = false;
  messenger_ = nullptr;
}

void TestUi::dispatch(const std::string& channel, std::span<const uint8_t> message,
                      BinaryReplyCallback reply) {
  if (!connected()) throw std::logic_error("TestUi: sending while hung up; reconnect() first");
  auto connection = connection_;
  // A reply to a UI that hung up goes nowhere, as over the bridge.
  BinaryReplyCallback toThisConnection;
  if (reply) {
    toThisConnection = [connection, reply = std::move(reply)](std::span<const uint8_t> bytes) {
      if (connection->load()) reply(bytes);
    };
  }
  messenger_->dispatchFromUi(channel, message, std::move(toThisConnection),
                             [connection] { return !connection->load(); });
}

std::optional<Bytes> TestUi::sendRaw(const std::string& channel, const Bytes& message) {
  auto reply = std::make_shared<std::optional<Bytes>>();
  dispatch(channel, message,
           [reply](std::span<const uint8_t> bytes) { *reply = Bytes(bytes.begin(), bytes.end()); });
  return *reply;
}

std::optional<MethodResponse> TestUi::call(const std::string& channel, const std::string& method,
                                           const ChannelValue& arguments) {
  auto codec = StandardMethodCodec::sharedInstance();
  auto reply = sendRaw(channel, codec->encodeMethodCall(MethodCall{method, arguments}));
  if (!reply) return std::nullopt;
  return decodeMethodResponse(*reply, *codec);
}

void TestUi::callAsync(const std::string& channel, const std::string& method,
                       const ChannelValue& arguments,
                       std::function<void(const MethodResponse&)> done) {
  auto codec = StandardMethodCodec::sharedInstance();
  dispatch(channel, codec->encodeMethodCall(MethodCall{method, arguments}),
           [codec, done = std::move(done)](std::span<const uint8_t> bytes) {
             done(decodeMethodResponse(bytes, *codec));
           });
}

std::optional<std::optional<ChannelValue>> TestUi::send(const std::string& channel,
                                                        const ChannelValue& message,
                                                        const MessageCodec& codec) {
  auto reply = sendRaw(channel, codec.encodeMessage(message));
  if (!reply) return std::nullopt;
  if (reply->empty()) return std::optional<ChannelValue>();
  return std::optional<ChannelValue>(codec.decodeMessage(*reply));
}

std::optional<MethodResponse> TestUi::listen(const std::string& channel,
                                             const ChannelValue& arguments) {
  return call(channel, "listen", arguments);
}

std::optional<MethodResponse> TestUi::cancel(const std::string& channel,
                                             const ChannelValue& arguments) {
  return call(channel, "cancel", arguments);
}

std::vector<MethodCall> TestUi::methodCallsOn(const std::string& channel) const {
  std::vector<MethodCall> calls;
  auto codec = StandardMethodCodec::sharedInstance();
  for (const auto& r : received_) {
    if (r.channel == channel) calls.push_back(codec->decodeMethodCall(r.message));
  }
  return calls;
}

std::vector<MethodEnvelope> TestUi::eventsOn(const std::string& channel) const {
  std::vector<MethodEnvelope> events;
  auto codec = StandardMethodCodec::sharedInstance();
  for (const auto& r : received_) {
    if (r.channel == channel) events.push_back(codec->decodeEnvelope(r.message));
  }
  return events;
}

void TestUi::answerOwed() {
  for (auto& r : received_) {
    if (r.reply && !r.reply.answered()) r.reply.sendEmpty();
  }
}

void TestUi::clearReceived() {
  auto received = std::move(received_);
  received_.clear();
  for (auto& r : received) {
    if (r.reply && !r.reply.answered()) r.reply.sendEmpty();
  }
}

void TestUi::deliver(const std::string& channel, std::span<const uint8_t> message,
                     BinaryReplyCallback reply) {
  BinaryReply answer;
  if (reply) {
    // Host callbacks may refer to plugins: never run one after the messenger went.
    answer = BinaryReply(channel, [open = messengerOpen_,
                                   reply = std::move(reply)](std::span<const uint8_t> bytes) {
      if (*open) {
        reply(bytes);
      } else {
        logEngineMessage("test UI: answer to a host message after the engine went away; dropped");
      }
    });
  }
  received_.push_back(Received{channel, Bytes(message.begin(), message.end()), std::move(answer)});
}

}  // namespace vellumark::testing
