// The secure storage plugin on an in-process messenger, over whichever
// keychain a test hands it, with a main queue the test drains and either a
// manual serial queue or the real one.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "flutter_secure_storage_darwin/flutter_secure_storage_darwin_plugin.h"
#include "platform/keychain.h"

namespace vellumark::secure_storage::testing {

inline constexpr char kChannel[] = "brenwick/flutter_secure_storage";
inline constexpr char kEvents[] = "brenwick/flutter_secure_storage/events";

// A main queue the test drains, which a worker thread can wake.
class WaitableQueue : public TaskQueue {
 public:
  void post(Task task) override {
    inner_.post(std::move(task));
    { std::lock_guard lock(mutex_); }
    posted_.notify_all();
  }
  void postAfter(std::chrono::milliseconds delay, Task task) override {
    inner_.postAfter(delay, std::move(task));
    { std::lock_guard lock(mutex_); }
    posted_.notify_all();
  }
  size_t runUntilIdle() { return inner_.runUntilIdle(); }
  // Runs tasks as they come until `done` holds.
  template <typename Predicate>
  void runUntil(Predicate done) {
    while (!done()) {
      {
        std::unique_lock lock(mutex_);
        posted_.wait(lock, [this] { return inner_.pending() > 0; });
      }
      inner_.runUntilIdle();
    }
  }

 private:
  ManualQueue inner_;
  std::mutex mutex_;
  std::condition_variable posted_;
};

struct Answer {
  MethodResponse response;
  std::thread::id thread;
};

class StorageHarness {
 public:
  // With `realQueue` the plugin is registered as the host does it.
  StorageHarness(platform::Lazy<platform::KeychainServices> services, bool realQueue) {
    platform::Services platformServices;
    platformServices.mainQueue = mainQueue;
    platformServices.keychain = std::move(services);
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, platformServices);
    auto& registrar = registry->registrarForPlugin("FlutterSecureStorageDarwinPlugin");
    if (realQueue) {
      FlutterSecureStorageDarwinPlugin::registerWithRegistrar(registrar);
      return;
    }
    auto channel = FlutterMethodChannel::methodChannelWithName(kChannel, messenger);
    auto events = FlutterEventChannel::eventChannelWithName(kEvents, messenger);
    auto instance = std::make_shared<FlutterSecureStorageDarwinPlugin>(
        registrar.platform().keychain, mainQueue, serialQueue);
    registrar.addMethodCallDelegate(instance, *channel);
    events->setStreamHandler(instance);
  }
  virtual ~StorageHarness() {
    ui.reset();
    destroyPlugin();
  }
  // Engine teardown: the registry and the channels let go of the plugin.
  void destroyPlugin() {
    registry.reset();
    messenger.setMessageHandler(kChannel, nullptr);
    messenger.setMessageHandler(kEvents, nullptr);
  }

  // Sends a call; the answer lands in `answers` in the order answers come.
  void send(const std::string& method, const ChannelValue& arguments = {}) {
    auto codec = StandardMethodCodec::sharedInstance();
    messenger.dispatchFromUi(
        kChannel, codec->encodeMethodCall(MethodCall{method, arguments}),
        [this, codec, method](std::span<const uint8_t> bytes) {
          answers.push_back({decodeMethodResponse(bytes, *codec), std::this_thread::get_id()});
          answeredMethods.push_back(method);
        });
  }
  void drain() {
    while (serialQueue->runUntilIdle() + mainQueue->runUntilIdle() > 0) {
    }
  }
  MethodResponse call(const std::string& method, const ChannelValue& arguments = {}) {
    const size_t before = answers.size();
    send(method, arguments);
    drain();
    EXPECT_EQ(answers.size(), before + 1) << method;
    return answers.size() > before ? answers.back().response
                                   : MethodResponse{FlutterMethodNotImplemented};
  }
  ChannelValue success(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    if (auto* error = std::get_if<ChannelError>(&response)) {
      ADD_FAILURE() << method << " failed: " << error->code << " / " << error->message.value_or("");
      return {};
    }
    auto* value = std::get_if<ChannelValue>(&response);
    if (value == nullptr) ADD_FAILURE() << method << " not implemented";
    return value != nullptr ? *value : ChannelValue{};
  }
  ChannelError failure(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    auto* error = std::get_if<ChannelError>(&response);
    if (error == nullptr) ADD_FAILURE() << method << " did not fail";
    return error != nullptr ? *error : ChannelError{};
  }

  // The UI side of the event channel.
  vellumark::testing::TestUi& eventUi() {
    if (!ui) ui = std::make_unique<vellumark::testing::TestUi>(messenger);
    return *ui;
  }
  std::vector<ChannelValue> events() {
    std::vector<ChannelValue> values;
    for (const auto& envelope : eventUi().eventsOn(kEvents)) {
      if (const auto* value = std::get_if<ChannelValue>(&envelope)) values.push_back(*value);
    }
    return values;
  }

  std::shared_ptr<WaitableQueue> mainQueue = std::make_shared<WaitableQueue>();
  std::shared_ptr<ManualQueue> serialQueue = std::make_shared<ManualQueue>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<vellumark::testing::TestUi> ui;
  std::vector<Answer> answers;
  std::vector<std::string> answeredMethods;
};

// Arguments: {"key": ..., "value": ..., "options": {...}} with the entries given.
inline ChannelValue arguments(std::optional<std::string> key, std::optional<std::string> value,
                              std::vector<std::pair<std::string, std::string>> options) {
  ChannelMap map;
  if (key) map.append(ChannelValue("key"), ChannelValue(*key));
  if (value) map.append(ChannelValue("value"), ChannelValue(*value));
  ChannelMap optionMap;
  for (auto& [name, option] : options) optionMap.append(ChannelValue(name), ChannelValue(option));
  map.append(ChannelValue("options"), ChannelValue(std::move(optionMap)));
  return ChannelValue(std::move(map));
}

inline ChannelMap stringMap(std::vector<std::pair<std::string, std::string>> entries) {
  ChannelMap map;
  for (auto& [key, value] : entries) map.append(ChannelValue(key), ChannelValue(value));
  return map;
}

}  // namespace vellumark::secure_storage::testing
