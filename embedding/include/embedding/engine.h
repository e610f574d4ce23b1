// The engine stand-in: the host side of every channel, and the connection to
// the UI process (or a test's in-process UI). Main-thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "embedding/messenger.h"
#include "embedding/registrar.h"

namespace vellumark {

// The UI end of the messenger: the bridge's connection, or a test's UI.
class UiConnection {
 public:
  virtual ~UiConnection() = default;
  // Hands a host message to the UI. A non-null callback runs exactly once,
  // with the UI's reply (empty when the UI had none or went away).
  virtual void deliver(const std::string& channel, std::span<const uint8_t> message,
                       BinaryReplyCallback reply) = 0;
  // The messenger is being destroyed while this UI is attached: run every
  // reply callback it handed over (empty) now, while the plugins they may
  // refer to still live, and never touch the messenger again.
  virtual void messengerClosing() {}
};

// Routes UI messages to the host's handlers and host messages to the UI.
// While no UI is attached it holds, per channel, the latest host message
// (an older one on the same channel is dropped, its callback answered empty)
// and delivers the held ones in the order they were sent when a UI attaches.
//
// Teardown runs in this order, so that no callback meets a dead plugin and no
// plugin meets a dead engine: the lifetime ends (channels, sinks and replies
// kept elsewhere turn into logged no-ops); the attached UI, then the held
// messages, have their reply callbacks answered empty while the plugins still
// live; then the handlers go, and the plugins with them. A message sent while
// this runs is answered empty at once.
class EngineMessenger : public BinaryMessenger {
 public:
  // `mainQueue` (may be null in tests) is where a reply dropped unanswered on
  // a worker thread sends its empty reply from.
  explicit EngineMessenger(std::shared_ptr<platform::TaskQueue> mainQueue = nullptr);
  ~EngineMessenger() override;
  EngineMessenger(const EngineMessenger&) = delete;
  EngineMessenger& operator=(const EngineMessenger&) = delete;

  void sendOnChannel(const std::string& channel, Bytes message,
                     BinaryReplyCallback callback = nullptr) override;
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;
  bool hasHandler(const std::string& channel) const;

  // A message from the UI. `reply` (null when the UI wants none) runs exactly
  // once: the handler's answer, or the empty reply when there is no handler.
  // `abandoned`, when given, tells whether the UI that sent it has gone.
  void dispatchFromUi(const std::string& channel, std::span<const uint8_t> message,
                      BinaryReplyCallback reply, BinaryReply::AbandonedProbe abandoned = nullptr);

  // The UI must outlive its attachment; detach before destroying it.
  void attachUi(UiConnection* ui);
  void detachUi();
  bool uiAttached() const { return ui_ != nullptr; }
  size_t heldMessageCount() const { return held_.size(); }

 private:
  struct Held {
    uint64_t seq;
    std::string channel;
    Bytes message;
    BinaryReplyCallback callback;
  };
  std::map<std::string, BinaryMessageHandler> handlers_;
  std::deque<Held> held_;
  uint64_t seq_ = 0;
  UiConnection* ui_ = nullptr;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  bool closing_ = false;
};

class FlutterEngine {
 public:
  explicit FlutterEngine(std::shared_ptr<platform::TaskQueue> mainQueue = nullptr)
      : messenger_(std::move(mainQueue)) {}
  EngineMessenger& binaryMessenger() { return messenger_; }

 private:
  EngineMessenger messenger_;
};

// The engine's view controller: owns the engine and is the plugin registry.
class FlutterViewController : public FlutterPluginRegistry {
 public:
  FlutterViewController(platform::View* view, platform::Services services);
  ~FlutterViewController() override;

  FlutterEngine& engine() { return *engine_; }
  BinaryMessenger& binaryMessenger() { return engine_->binaryMessenger(); }
  platform::View* view() { return view_; }
  FlutterPluginRegistrar& registrarForPlugin(const std::string& pluginKey) override;
  PluginRegistry& registry() { return *registry_; }

 private:
  std::unique_ptr<FlutterEngine> engine_;
  platform::View* view_;
  std::unique_ptr<PluginRegistry> registry_;
};

}  // namespace vellumark
