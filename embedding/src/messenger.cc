#include "embedding/messenger.h"

#include <iostream>
#include <mutex>

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
}  // namespace

void logEngineMessage(const std::string& line) {
  std::lock_guard lock(logMutex());
  if (logSink()) {
    logSink()(line);
  } else {
    std::cerr << line << '\n';
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
  bool answered = false;

  ~State() {
    if (!answered && sender) {
      logEngineMessage("channel " + channel + ": message dropped unanswered; sent the empty reply");
      sender({});
    }
  }
};

BinaryReply::BinaryReply(std::string channel, Sender sender, AbandonedProbe abandoned)
    : state_(std::make_shared<State>()) {
  state_->channel = std::move(channel);
  state_->sender = std::move(sender);
  state_->abandoned = std::move(abandoned);
}

void BinaryReply::operator()(std::span<const uint8_t> reply) const {
  if (!state_) return;
  if (state_->answered) {
    logEngineMessage("channel " + state_->channel + ": second reply ignored");
    return;
  }
  state_->answered = true;
  if (state_->sender) {
    // Move the sender out first: it may drop the last reference to us.
    Sender sender = std::move(state_->sender);
    sender(reply);
  }
}

bool BinaryReply::answered() const { return state_ && state_->answered; }

bool BinaryReply::abandoned() const { return state_ && state_->abandoned && state_->abandoned(); }

}  // namespace vellumark
