#include "embedding/channels.h"

#include <exception>
#include <string_view>

namespace vellumark {

namespace {

// A handler that throws must not leave the caller waiting: answer once with
// the generic error envelope the UI's own channels use for such failures.
void answerAfterThrow(const std::string& channel, const MethodResult& result, const char* what) {
  logEngineMessage("channel " + channel + ": handler failed: " + what);
  if (!result.answered()) result.error("error", std::string(what));
}

// Decodes an incoming method call; one that does not decode is logged and
// gets the empty reply, as the engine answers it.
std::optional<MethodCall> decodeCallOrReplyEmpty(const StandardMethodCodec& codec,
                                                 const std::string& channel,
                                                 std::span<const uint8_t> message,
                                                 const BinaryReply& reply) {
  try {
    return codec.decodeMethodCall(message);
  } catch (const CodecError& e) {
    logEngineMessage("channel " + channel + ": undecodable method call: " + e.what());
    reply.sendEmpty();
    return std::nullopt;
  }
}

// A value the wire cannot carry (a string that is not UTF-8, a record no
// codec extension writes) must still get the caller an answer.
Bytes encodeOrExplain(const std::function<Bytes()>& encode, const StandardMethodCodec& codec) {
  try {
    return encode();
  } catch (const CodecError& e) {
    logEngineMessage(std::string("reply could not be encoded: ") + e.what());
    return codec.encodeErrorEnvelope(ChannelError::errorWithCode(
        "error", std::string("reply could not be encoded: ") + e.what()));
  }
}

// A channel kept past its messenger (by a plugin's task, say) must not touch
// it. Logs what was dropped.
bool messengerGone(const std::weak_ptr<const void>& alive, const std::string& channel,
                   std::string_view what, std::string_view method = {}) {
  if (!alive.expired()) return false;
  std::string line = "channel " + channel + ": ";
  line += what;
  if (!method.empty()) {
    line += " \"";
    line += method;
    line += '"';
  }
  logEngineMessage(line + " after the engine went away; ignored");
  return true;
}

}  // namespace

MethodResult::MethodResult(BinaryReply reply, std::shared_ptr<const StandardMethodCodec> codec)
    : reply_(std::move(reply)), codec_(std::move(codec)) {}

void MethodResult::success(const ChannelValue& value) const {
  if (reply_.answered()) {
    reply_({});  // logs the second answer
    return;
  }
  Bytes bytes = encodeOrExplain([&] { return codec_->encodeSuccessEnvelope(value); }, *codec_);
  reply_(bytes);
}

void MethodResult::error(const ChannelError& error) const {
  if (reply_.answered()) {
    reply_({});
    return;
  }
  Bytes bytes = encodeOrExplain([&] { return codec_->encodeErrorEnvelope(error); }, *codec_);
  reply_(bytes);
}

void MethodResult::error(std::string code, std::optional<std::string> message,
                         ChannelValue details) const {
  error(ChannelError::errorWithCode(std::move(code), std::move(message), std::move(details)));
}

void MethodResult::notImplemented() const { reply_({}); }

void MethodResult::operator()(const MethodResponse& response) const {
  if (const auto* v = std::get_if<ChannelValue>(&response)) {
    success(*v);
  } else if (const auto* e = std::get_if<ChannelError>(&response)) {
    error(*e);
  } else {
    notImplemented();
  }
}

MethodResponse decodeMethodResponse(std::span<const uint8_t> reply,
                                    const StandardMethodCodec& codec) {
  if (reply.empty()) return FlutterMethodNotImplemented;
  MethodEnvelope envelope = codec.decodeEnvelope(reply);
  if (auto* e = std::get_if<ChannelError>(&envelope)) return std::move(*e);
  return std::get<ChannelValue>(std::move(envelope));
}

// ---------------------------------------------------------------------------

FlutterMethodChannel::FlutterMethodChannel(std::string name, BinaryMessenger& messenger,
                                           std::shared_ptr<const StandardMethodCodec> codec)
    : name_(std::move(name)),
      messenger_(messenger),
      messengerAlive_(messenger.lifetime()),
      codec_(std::move(codec)) {}

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(
    std::string name, BinaryMessenger& messenger) {
  return std::make_shared<FlutterMethodChannel>(std::move(name), messenger);
}

void FlutterMethodChannel::setMethodCallHandler(MethodCallHandler handler) {
  // Removing a handler from a messenger that is gone is already done.
  if (messengerAlive_.expired() && !handler) return;
  if (messengerGone(messengerAlive_, name_, "a method call handler set")) return;
  if (!handler) {
    messenger_.setMessageHandler(name_, nullptr);
    return;
  }
  messenger_.setMessageHandler(name_, [name = name_, codec = codec_, handler = std::move(handler)](
                                          std::span<const uint8_t> message, BinaryReply reply) {
    std::optional<MethodCall> call = decodeCallOrReplyEmpty(*codec, name, message, reply);
    if (!call) return;
    MethodResult result(std::move(reply), codec);
    try {
      handler(*call, result);
    } catch (const std::exception& e) {
      answerAfterThrow(name, result, e.what());
    } catch (...) {
      answerAfterThrow(name, result, "unknown exception");
    }
  });
}

void FlutterMethodChannel::invokeMethod(const std::string& method, const ChannelValue& arguments) {
  if (messengerGone(messengerAlive_, name_, "call", method)) return;
  messenger_.sendOnChannel(name_, codec_->encodeMethodCall(MethodCall{method, arguments}));
}

void FlutterMethodChannel::invokeMethod(const std::string& method, const ChannelValue& arguments,
                                        std::function<void(const MethodResponse&)> result) {
  if (!result) {
    invokeMethod(method, arguments);
    return;
  }
  if (messengerGone(messengerAlive_, name_, "call", method)) {
    result(FlutterMethodNotImplemented);
    return;
  }
  messenger_.sendOnChannel(
      name_, codec_->encodeMethodCall(MethodCall{method, arguments}),
      [name = name_, codec = codec_, result = std::move(result)](std::span<const uint8_t> reply) {
        MethodResponse response;
        try {
          response = decodeMethodResponse(reply, *codec);
        } catch (const CodecError& e) {
          logEngineMessage("channel " + name + ": undecodable reply: " + e.what());
          response =
              ChannelError::errorWithCode("error", std::string("malformed reply: ") + e.what());
        }
        result(response);
      });
}

// ---------------------------------------------------------------------------

struct EventSink::State {
  // Valid only while `engine` has not expired.
  BinaryMessenger* messenger = nullptr;
  std::weak_ptr<const void> engine;
  std::string channel;
  std::shared_ptr<const StandardMethodCodec> codec;
  bool active = true;
  bool reportedGone = false;
};

bool EventSink::deliverable() const {
  if (!state_ || !state_->active) return false;
  if (!state_->engine.expired()) return true;
  if (!state_->reportedGone) {
    state_->reportedGone = true;
    logEngineMessage("channel " + state_->channel +
                     ": event sent after the engine went away; this stream's events are dropped");
  }
  return false;
}

void EventSink::success(const ChannelValue& event) const {
  if (!deliverable()) return;
  const auto& codec = *state_->codec;
  state_->messenger->sendOnChannel(
      state_->channel, encodeOrExplain([&] { return codec.encodeSuccessEnvelope(event); }, codec));
}

void EventSink::error(const ChannelError& error) const {
  if (!deliverable()) return;
  const auto& codec = *state_->codec;
  state_->messenger->sendOnChannel(
      state_->channel, encodeOrExplain([&] { return codec.encodeErrorEnvelope(error); }, codec));
}

bool EventSink::active() const { return state_ && state_->active && !state_->engine.expired(); }

FlutterEventChannel::FlutterEventChannel(std::string name, BinaryMessenger& messenger,
                                         std::shared_ptr<const StandardMethodCodec> codec)
    : name_(std::move(name)),
      messenger_(messenger),
      messengerAlive_(messenger.lifetime()),
      codec_(std::move(codec)) {}

std::shared_ptr<FlutterEventChannel> FlutterEventChannel::eventChannelWithName(
    std::string name, BinaryMessenger& messenger) {
  return std::make_shared<FlutterEventChannel>(std::move(name), messenger);
}

void FlutterEventChannel::setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler) {
  if (messengerAlive_.expired() && !handler) return;
  if (messengerGone(messengerAlive_, name_, "a stream handler set")) return;
  if (!handler) {
    messenger_.setMessageHandler(name_, nullptr);
    return;
  }
  // The current stream's sink state, shared by the handler closure only.
  auto current = std::make_shared<std::shared_ptr<EventSink::State>>();
  BinaryMessenger* messenger = &messenger_;
  messenger_.setMessageHandler(
      name_, [name = name_, codec = codec_, handler = std::move(handler), current, messenger,
              alive = messengerAlive_](std::span<const uint8_t> message, BinaryReply reply) {
        std::optional<MethodCall> decoded = decodeCallOrReplyEmpty(*codec, name, message, reply);
        if (!decoded) return;
        const MethodCall& call = *decoded;
        auto answer = [&](const std::optional<ChannelError>& error) {
          reply(encodeOrExplain(
              [&] {
                return error ? codec->encodeErrorEnvelope(*error)
                             : codec->encodeSuccessEnvelope(ChannelValue());
              },
              *codec));
        };
        try {
          if (call.method == "listen") {
            if (*current && (*current)->active) {
              (*current)->active = false;
              handler->onCancelWithArguments(ChannelValue());
            }
            auto state = std::make_shared<EventSink::State>();
            state->messenger = messenger;
            state->engine = alive;
            state->channel = name;
            state->codec = codec;
            *current = state;
            std::optional<ChannelError> error =
                handler->onListenWithArguments(call.arguments, EventSink(state));
            if (error) state->active = false;
            answer(error);
          } else if (call.method == "cancel") {
            if (!*current || !(*current)->active) {
              answer(ChannelError::errorWithCode("error", "No active stream to cancel"));
              return;
            }
            (*current)->active = false;
            answer(handler->onCancelWithArguments(call.arguments));
          } else {
            reply.sendEmpty();
          }
        } catch (const std::exception& e) {
          // A listen that failed half-way started no stream.
          if (call.method == "listen" && *current) (*current)->active = false;
          logEngineMessage("channel " + name + ": stream handler failed: " + e.what());
          if (!reply.answered())
            answer(ChannelError::errorWithCode("error", std::string(e.what())));
        } catch (...) {
          if (call.method == "listen" && *current) (*current)->active = false;
          logEngineMessage("channel " + name + ": stream handler failed");
          if (!reply.answered()) answer(ChannelError::errorWithCode("error", "unknown exception"));
        }
      });
}

// ---------------------------------------------------------------------------

FlutterBasicMessageChannel::FlutterBasicMessageChannel(std::string name, BinaryMessenger& messenger,
                                                       std::shared_ptr<const MessageCodec> codec)
    : name_(std::move(name)),
      messenger_(messenger),
      messengerAlive_(messenger.lifetime()),
      codec_(std::move(codec)) {}

void FlutterBasicMessageChannel::setMessageHandler(BasicMessageHandler handler) {
  if (messengerAlive_.expired() && !handler) return;
  if (messengerGone(messengerAlive_, name_, "a message handler set")) return;
  if (!handler) {
    messenger_.setMessageHandler(name_, nullptr);
    return;
  }
  messenger_.setMessageHandler(name_, [name = name_, codec = codec_, handler = std::move(handler)](
                                          std::span<const uint8_t> message, BinaryReply reply) {
    ChannelValue value;
    try {
      value = codec->decodeMessage(message);
    } catch (const CodecError& e) {
      logEngineMessage("channel " + name + ": undecodable message: " + e.what());
      reply.sendEmpty();
      return;
    }
    BasicMessageReply answer = [reply, codec](const ChannelValue& v) {
      if (reply.answered()) {
        reply({});
        return;
      }
      Bytes bytes;
      try {
        bytes = codec->encodeMessage(v);
      } catch (const CodecError& e) {
        logEngineMessage("reply could not be encoded: " + std::string(e.what()));
      }
      reply(bytes);  // empty when it could not be encoded
    };
    try {
      handler(value, answer);
    } catch (const std::exception& e) {
      logEngineMessage("channel " + name + ": handler failed: " + e.what());
    }
  });
}

void FlutterBasicMessageChannel::sendMessage(
    const ChannelValue& message, std::function<void(std::optional<ChannelValue>)> reply) {
  if (messengerGone(messengerAlive_, name_, "a message sent")) {
    if (reply) reply(std::nullopt);
    return;
  }
  if (!reply) {
    messenger_.sendOnChannel(name_, codec_->encodeMessage(message));
    return;
  }
  messenger_.sendOnChannel(
      name_, codec_->encodeMessage(message),
      [name = name_, codec = codec_, reply = std::move(reply)](std::span<const uint8_t> bytes) {
        if (bytes.empty()) {
          reply(std::nullopt);
          return;
        }
        try {
          reply(codec->decodeMessage(bytes));
        } catch (const CodecError& e) {
          logEngineMessage("channel " + name + ": undecodable reply: " + e.what());
          reply(std::nullopt);
        }
      });
}

}  // namespace vellumark
