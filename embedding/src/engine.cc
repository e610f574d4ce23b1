#include "embedding/engine.h"

#include <algorithm>
#include <utility>

namespace vellumark {

EngineMessenger::EngineMessenger(std::shared_ptr<platform::TaskQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)) {}

EngineMessenger::~EngineMessenger() {
  // From here channels, sinks and replies kept elsewhere do nothing.
  endLifetime();
  closing_ = true;
  // Reply callbacks may refer to plugins: run them while the plugins live.
  if (UiConnection* ui = std::exchange(ui_, nullptr)) ui->messengerClosing();
  auto held = std::move(held_);
  held_.clear();
  for (auto& h : held) {
    if (h.callback) h.callback({});
  }
  // Handlers own the plugins; a plugin's destructor may still call
  // setMessageHandler, so empty the map before it is torn down.
  auto handlers = std::move(handlers_);
  handlers_.clear();
  handlers.clear();
}

void EngineMessenger::sendOnChannel(const std::string& channel, Bytes message,
                                    BinaryReplyCallback callback) {
  if (closing_) {
    // No UI will take it; the caller is alive, as it is calling us.
    logEngineMessage("channel " + channel + ": message sent while the engine shuts down; dropped");
    if (callback) callback({});
    return;
  }
  if (ui_) {
    ui_->deliver(channel, message, std::move(callback));
    return;
  }
  // Keep only the latest message per channel while no UI is there.
  auto old =
      std::find_if(held_.begin(), held_.end(), [&](const Held& h) { return h.channel == channel; });
  BinaryReplyCallback dropped;
  if (old != held_.end()) {
    dropped = std::move(old->callback);
    held_.erase(old);
  }
  held_.push_back(Held{++seq_, channel, std::move(message), std::move(callback)});
  if (dropped) dropped({});
}

void EngineMessenger::setMessageHandler(const std::string& channel, BinaryMessageHandler handler) {
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

bool EngineMessenger::hasHandler(const std::string& channel) const {
  return handlers_.count(channel) != 0;
}

void EngineMessenger::dispatchFromUi(const std::string& channel, std::span<const uint8_t> message,
                                     BinaryReplyCallback reply,
                                     BinaryReply::AbandonedProbe abandoned) {
  auto it = handlers_.find(channel);
  BinaryReply answer(channel, reply ? std::move(reply) : BinaryReply::Sender([](auto) {}),
                     std::move(abandoned), BinaryReply::Owner{lifetime(), mainQueue_});
  if (it == handlers_.end()) {
    answer.sendEmpty();
    return;
  }
  // Copy the handler: it may replace or remove itself while running.
  BinaryMessageHandler handler = it->second;
  handler(message, std::move(answer));
}

void EngineMessenger::attachUi(UiConnection* ui) {
  if (closing_) return;
  ui_ = ui;
  if (!ui_) return;
  auto held = std::move(held_);
  held_.clear();
  std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.seq < b.seq; });
  for (auto& h : held) {
    if (!ui_) {
      // The UI went away while we delivered: hold the rest again.
      sendOnChannel(h.channel, std::move(h.message), std::move(h.callback));
      continue;
    }
    ui_->deliver(h.channel, h.message, std::move(h.callback));
  }
}

void EngineMessenger::detachUi() { ui_ = nullptr; }

FlutterViewController::FlutterViewController(platform::View* view, platform::Services services)
    : engine_(std::make_unique<FlutterEngine>(services.mainQueue)),
      view_(view),
      registry_(std::make_unique<PluginRegistry>(engine_->binaryMessenger(), view,
                                                 std::move(services))) {}

// The registry (and with it the plugins' registrars) goes before the engine
// whose messenger they refer to.
FlutterViewController::~FlutterViewController() { registry_.reset(); }

FlutterPluginRegistrar& FlutterViewController::registrarForPlugin(const std::string& pluginKey) {
  return registry_->registrarForPlugin(pluginKey);
}

}  // namespace vellumark
