// An in-process UI for unit tests: drives the host's channels through the
// real codecs and records what the host sends. Main-thread only.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "embedding/channels.h"
#include "embedding/engine.h"

namespace vellumark::testing {

// Captures engine log lines for the duration of a test.
class LogCapture {
 public:
  LogCapture() {
    setEngineLogSink([this](const std::string& line) { lines.push_back(line); });
  }
  ~LogCapture() { setEngineLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> lines;
};

class TestUi : public UiConnection {
 public:
  // Attaches itself to the messenger; detaches on destruction. It may outlive
  // the messenger: it then only answers what it still owes, before the
  // messenger's plugins go.
  explicit TestUi(EngineMessenger& messenger);
  ~TestUi() override;
  TestUi(const TestUi&) = delete;
  TestUi& operator=(const TestUi&) = delete;

  // Sends a raw message; the reply, or nullopt while none has come yet
  // (a handler that answers later, e.g. after the main queue runs).
  std::optional<Bytes> sendRaw(const std::string& channel, const Bytes& message);
  // Sends a method call and decodes the answer (standard method codec).
  std::optional<MethodResponse> call(const std::string& channel, const std::string& method,
                                     const ChannelValue& arguments = {});
  // Same, answer delivered to `done` whenever it comes (never, once the UI
  // hung up before it came).
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

  // The UI process goes away, as a bridge UI that hangs up: the host's
  // pending replies to it report abandoned() and go nowhere, what it owed the
  // host is answered empty, and the messenger holds new messages. Sending
  // needs reconnect() first.
  void hangUp();
  // A UI connects again (a new connection: held messages are delivered).
  void reconnect();
  bool connected() const { return connection_ && connection_->load(); }

  // What the host sent, in order. `reply` is empty (false) when no answer is
  // awaited; a test may answer it; anything unanswered is answered empty
  // when the TestUi goes away, hangs up or clearReceived() runs.
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
  void messengerClosing() override;

 private:
  // Dispatches as the current connection; throws when hung up.
  void dispatch(const std::string& channel, std::span<const uint8_t> message,
                BinaryReplyCallback reply);
  void answerOwed();

  EngineMessenger* messenger_;
  // True while this UI is connected; shared with the probes and senders of
  // the messages it sent, so they outlive the TestUi safely.
  std::shared_ptr<std::atomic<bool>> connection_;
  // False once the messenger is gone: host callbacks are not run then.
  std::shared_ptr<bool> messengerOpen_ = std::make_shared<bool>(true);
  std::vector<Received> received_;
};

}  // namespace vellumark::testing
