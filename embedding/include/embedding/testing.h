// An in-process UI for unit tests: drives the host's channels through the
// real codecs and records what the host sends. Main-thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "embedding/channels.h"
#include "embedding/engine.h"

namespace vellumark::testing {

class TestUi : public UiConnection {
 public:
  // Attaches itself to the messenger; detaches on destruction.
  explicit TestUi(EngineMessenger& messenger);
  ~TestUi() override;

  // Sends a raw message; the reply, or nullopt while none has come yet
  // (a handler that answers later, e.g. after the main queue runs).
  std::optional<Bytes> sendRaw(const std::string& channel, const Bytes& message);
  // Sends a method call and decodes the answer (standard method codec).
  std::optional<MethodResponse> call(const std::string& channel, const std::string& method,
                                     const ChannelValue& arguments = {});
  // Same, answer delivered to `done` whenever it comes.
  void callAsync(const std::string& channel, const std::string& method,
                 const ChannelValue& arguments, std::function<void(const MethodResponse&)> done);
  // Basic message with the given codec; nullopt while no reply has come,
  // an empty Bytes-decoded reply as std::nullopt inside.
  std::optional<std::optional<ChannelValue>> send(const std::string& channel,
                                                  const ChannelValue& message,
                                                  const MessageCodec& codec);
  // Event channel "listen"/"cancel".
  std::optional<MethodResponse> listen(const std::string& channel,
                                       const ChannelValue& arguments = {});
  std::optional<MethodResponse> cancel(const std::string& channel,
                                       const ChannelValue& arguments = {});

  // What the host sent, in order. `reply` is empty (false) when no answer is
  // awaited; a test may answer it; anything unanswered is answered empty
  // when the TestUi goes away or clearReceived() runs.
  struct Received {
    std::string channel;
    Bytes message;
    BinaryReply reply;
  };
  std::vector<Received>& received() { return received_; }
  // The method calls the host sent on a channel, decoded.
  std::vector<MethodCall> methodCallsOn(const std::string& channel) const;
  // The events pushed on an event channel, decoded (value or error).
  std::vector<MethodEnvelope> eventsOn(const std::string& channel) const;
  void clearReceived();

  void deliver(const std::string& channel, std::span<const uint8_t> message,
               BinaryReplyCallback reply) override;

 private:
  EngineMessenger& messenger_;
  std::vector<Received> received_;
};

}  // namespace vellumark::testing
