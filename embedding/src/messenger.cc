#include "embedding/messenger.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace vellumark {

namespace {
std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& logSink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

bool expired(const std::optional<std::weak_ptr<const void>>& engine) {
  return engine && engine->expired();
}

// The empty reply of a message nobody answered, on the main thread.
void sendDropped(const std::string& channel, const BinaryReply::Sender& sender,
                 const std::optional<std::weak_ptr<const void>>& engine) {
  if (expired(engine)) {
    logEngineMessage("channel " + channel +
                     ": message dropped unanswered after the engine went away");
    return;
  }
  logEngineMessage("channel " + channel + ": message dropped unanswered; sent the empty reply");
  sender({});
}
}  // namespace

void logEngineMessage(const std::string& line) {
  std::lock_guard lock(logMutex());
  if (logSink()) {
    logSink()(line);
  } else {
    // stdio, not iostreams: no stream set-up in the host's start-up.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
  }
}

void setEngineLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(logMutex());
  logSink() = std::move(sink);
}

struct BinaryReply::State {
  std::string channel;
  Sender sender;
  AbandonedProbe abandoned;
  // Set only when the reply belongs to an engine.
  std::optional<std::weak_ptr<const void>> engine;
  std::shared_ptr<platform::TaskQueue> mainQueue;
  std::thread::id mainThread = std::this_thread::get_id();
  // Atomic: the last copy may be released on a worker right after the main
  // thread answered.
  std::atomic<bool> answered{false};

  ~State() {
    if (answered.load() || !sender) return;
    if (mainQueue && std::this_thread::get_id() != mainThread) {
      mainQueue->post([channel = std::move(channel), sender = std::move(sender),
                       engine = std::move(engine)] { sendDropped(channel, sender, engine); });
      return;
    }
    sendDropped(channel, sender, engine);
  }
};

BinaryReply::BinaryReply(std::string channel, Sender sender, AbandonedProbe abandoned,
                         std::optional<Owner> owner)
    : state_(std::make_shared<State>()) {
  state_->channel = std::move(channel);
  state_->sender = std::move(sender);
  state_->abandoned = std::move(abandoned);
  if (owner) {
    state_->engine = std::move(owner->engine);
    state_->mainQueue = std::move(owner->mainQueue);
  }
}

void BinaryReply::operator()(std::span<const uint8_t> reply) const {
  if (!state_) return;
  if (state_->answered.exchange(true)) {
    logEngineMessage("channel " + state_->channel + ": second reply ignored");
    return;
  }
  if (expired(state_->engine)) {
    logEngineMessage("channel " + state_->channel + ": reply after the engine went away; dropped");
    state_->sender = nullptr;
    return;
  }
  if (state_->sender) {
    // Move the sender out first: it may drop the last reference to us.
    Sender sender = std::move(state_->sender);
    sender(reply);
  }
}

bool BinaryReply::answered() const { return state_ && state_->answered.load(); }

bool BinaryReply::abandoned() const {
  if (!state_) return false;
  if (expired(state_->engine)) return true;
  return state_->abandoned && state_->abandoned();
}

}  // namespace vellumark
