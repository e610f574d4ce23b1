// The updater plugin: lets the UI configure the update framework once
// ("setConfig"), start checks and switch scheduled checks, and forwards what
// the framework finds as events on "tovra/app_updater/events", held while no
// listener is attached and handed over in order when one attaches.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/bundle.h"
#include "platform/lazy.h"
#include "platform/task_queue.h"
#include "platform/updater.h"

namespace vellumark {

class SparkleEventForwarder;

// Main-thread only, created with std::make_shared (deferred event delivery
// finds it through a weak reference).
class TovraAppUpdaterPlugin : public FlutterPlugin,
                              public FlutterStreamHandler,
                              public std::enable_shared_from_this<TovraAppUpdaterPlugin> {
 public:
  // Creates the plugin and its two channels. Makes no controller and loads
  // nothing: the framework is made on the first "setConfig".
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `framework` is made on first use; a null `systemLog` drops the log line;
  // without `mainQueue` (tests only) events are delivered at once.
  TovraAppUpdaterPlugin(platform::Lazy<platform::UpdateFramework> framework,
                        std::shared_ptr<platform::Bundle> bundle,
                        std::shared_ptr<platform::SystemLog> systemLog,
                        std::shared_ptr<platform::TaskQueue> mainQueue);
  ~TovraAppUpdaterPlugin() override;

  void handleMethodCall(const MethodCall& call, MethodResult result) override;
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override;
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue& arguments) override;

  // What tests look at.
  bool configured() const { return updaterController != nullptr; }
  size_t pendingEventCount() const { return pendingEvents.size(); }

 private:
  void setConfig(const MethodCall& call, const MethodResult& result);
  void checkForUpdates(const MethodCall& call, const MethodResult& result);
  void setAutomaticChecks(const MethodCall& call, const MethodResult& result);
  // The configured updater, or null.
  platform::Updater* updater() const;
  // Main queue: hands one event to the listener or queues it.
  void deliver(ChannelMap event);

  platform::Lazy<platform::UpdateFramework> framework_;
  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<platform::SystemLog> systemLog_;
  std::shared_ptr<platform::TaskQueue> mainQueue_;

  std::unique_ptr<platform::StandardUpdaterController> updaterController;
  std::shared_ptr<SparkleEventForwarder> forwarder;
  std::optional<EventSink> eventSink;
  std::vector<ChannelMap> pendingEvents;
};

}  // namespace vellumark
