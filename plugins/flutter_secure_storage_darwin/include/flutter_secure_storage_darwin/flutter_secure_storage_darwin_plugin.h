// The secure storage plugin: string values under string keys in the system
// keychain, served on "brenwick/flutter_secure_storage", and whether
// protected data is available, pushed on "brenwick/flutter_secure_storage/events".
//
// Every call, parsing included, runs on the plugin's serial queue
// "flutter_secure_storage_service", one at a time in arrival order, so keychain
// work never blocks the main thread and never interleaves; each reply goes
// back through the main queue, so replies keep the order of the calls. The
// keychain is reached only then: registering connects to nothing.
#pragma once

#include <memory>
#include <optional>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/keychain.h"
#include "platform/lazy.h"
#include "platform/task_queue.h"

namespace vellumark {

namespace secure_storage {
class FlutterSecureStorage;
}

// Main-thread only, created with std::make_shared (availability changes
// find it through a weak reference).
class FlutterSecureStorageDarwinPlugin
    : public FlutterPlugin,
      public FlutterStreamHandler,
      public std::enable_shared_from_this<FlutterSecureStorageDarwinPlugin> {
 public:
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `serialQueue` runs the calls (a SerialQueue in the host, whose
  // destructor finishes what is queued and joins); `mainQueue` delivers the
  // replies and events. Without a main queue (tests only) calls run inline.
  FlutterSecureStorageDarwinPlugin(platform::Lazy<platform::KeychainServices> services,
                                   std::shared_ptr<platform::TaskQueue> mainQueue,
                                   std::shared_ptr<platform::TaskQueue> serialQueue);
  ~FlutterSecureStorageDarwinPlugin() override;

  void handleMethodCall(const MethodCall& call, MethodResult result) override;
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override;
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue& arguments) override;

 private:
  // The keychain said protected data became (un)available.
  void protectedDataChanged(bool available);

  std::shared_ptr<secure_storage::FlutterSecureStorage> flutterSecureStorageManager;
  std::optional<EventSink> secStoreAvailabilitySink;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  std::shared_ptr<platform::TaskQueue> serialExecutionQueue;
  bool watching_ = false;
};

}  // namespace vellumark
