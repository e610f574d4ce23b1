// A plugin registered on an in-process messenger over a fake token store,
// with manual main and token queues the test drains, and certificates built
// with just the structure the key-usage reader walks.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_tokens.h"
#include "tessel_macos/tessel_macos_plugin.h"

namespace vellumark::tessel {

namespace fakes = platform::fakes;
using fakes::FakeIdentity;
using fakes::FakeTokenStore;
using Kind = FakeTokenStore::QueryKind;

inline constexpr uint8_t kNonRepudiation = 0x40;
inline constexpr uint8_t kDigitalSignature = 0x80;

// --- DER ---------------------------------------------------------------------

inline Bytes tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes sequence(const Bytes& content) { return tlv(0x30, content); }

// The content of the keyUsage extnValue: a BIT STRING of one byte of bits.
inline Bytes keyUsageBitString(uint8_t usage) {
  uint8_t unused = 0;
  while (unused < 7 && usage != 0 && ((usage >> unused) & 1) == 0) ++unused;
  return tlv(0x03, {unused, usage});
}

// Extension { extnID, critical (when given), extnValue }.
inline Bytes extension(const Bytes& oid, std::optional<bool> critical, const Bytes& value) {
  Bytes content = tlv(0x06, oid);
  if (critical)
    content = concat({content, tlv(0x01, {static_cast<uint8_t>(*critical ? 0xFF : 0)})});
  return sequence(concat({content, tlv(0x04, value)}));
}

inline const Bytes kKeyUsageOid{0x55, 0x1D, 0x0F};
inline const Bytes kBasicConstraintsOid{0x55, 0x1D, 0x13};

inline Bytes keyUsageExtension(uint8_t usage, bool critical = false) {
  return extension(kKeyUsageOid, critical ? std::optional<bool>(true) : std::nullopt,
                   keyUsageBitString(usage));
}

// A certificate whose tbsCertificate holds these fields after the serial
// `tag`; `extensions` (none: no [3] at all) and `subject` vary per test.
inline Bytes certificateWith(uint8_t tag, const std::vector<Bytes>& extensions,
                             const Bytes& subject = sequence({})) {
  const Bytes algorithm = sequence(tlv(0x06, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}));
  Bytes tbs =
      concat({tlv(0xA0, tlv(0x02, {0x02})), tlv(0x02, {tag}), algorithm, sequence({}) /* issuer */,
              sequence({}) /* validity */, subject, sequence({}) /* subjectPublicKeyInfo */});
  if (!extensions.empty()) {
    Bytes list;
    for (const auto& e : extensions) list = concat({list, e});
    tbs = concat({tbs, tlv(0xA3, sequence(list))});
  }
  return sequence(concat({sequence(tbs), algorithm, tlv(0x03, {0x00})}));
}

// A certificate whose key-usage extension carries `usage`; `tag` tells
// certificates apart.
inline Bytes certificateDer(uint8_t tag, uint8_t usage, bool critical = false) {
  return certificateWith(tag, {keyUsageExtension(usage, critical)});
}

// A certificate made with openssl, from tests/data.
inline Bytes certificateFile(const std::string& name) {
  std::ifstream in(std::string(VELLUMARK_SOURCE_DIR) + "/plugins/tessel_macos/tests/data/" + name,
                   std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// --- Replies -----------------------------------------------------------------

// The answers one call got, and the order in which calls were answered.
struct Replies {
  std::vector<MethodResponse> answers;
  std::vector<std::thread::id> threads;  // where each answer was given
};
struct AnswerLog {
  std::vector<std::string> order;
};

// A main queue the test drains, and that a worker thread can wake it for.
class NotifyingQueue : public TaskQueue {
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
  size_t pending() const { return inner_.pending(); }
  // Waits for a task, then runs what is due.
  size_t waitAndRun() {
    {
      std::unique_lock lock(mutex_);
      posted_.wait(lock, [this] { return inner_.pending() > 0; });
    }
    return inner_.runUntilIdle();
  }
  // Runs tasks as they come until `done` holds.
  template <typename Predicate>
  void runUntil(Predicate done) {
    while (!done()) waitAndRun();
  }

 private:
  ManualQueue inner_;
  std::mutex mutex_;
  std::condition_variable posted_;
};

// --- Harness -----------------------------------------------------------------

// The plugin on manual queues: nothing of the token queue runs until the test
// drains `tokenQueue`, nothing posted back until it drains `mainQueue`. Usable
// on its own where a table test needs a fresh plugin per row. A null store
// leaves the plugin without a token service. With `realTokenThread` the
// plugin is registered as the host does it, with a token thread of its own;
// the test then runs `mainQueue` as answers come back.
class PluginHarness {
 public:
  explicit PluginHarness(
      std::shared_ptr<FakeTokenStore> tokens = std::make_shared<FakeTokenStore>(),
      bool realTokenThread = false)
      : store(tokens),
        registry(std::make_unique<PluginRegistry>(
            messenger, nullptr, platform::Services{nullptr, std::move(tokens), mainQueue})) {
    setEngineLogSink([log = engineLog](const std::string& line) { log->push_back(line); });
    auto& registrar = registry->registrarForPlugin("TesselMacosPlugin");
    if (realTokenThread) {
      TesselMacosPlugin::registerWithRegistrar(registrar);
      return;
    }
    auto channel = FlutterMethodChannel::methodChannelWithName("tessel_macos", messenger);
    auto instance = std::make_shared<TesselMacosPlugin>(registrar.platform().tokens, channel,
                                                        mainQueue, tokenQueue);
    registrar.addMethodCallDelegate(instance, *channel);
    registrar.addApplicationDelegate(instance);
    plugin = instance;
  }
  ~PluginHarness() {
    destroyPlugin();
    setEngineLogSink(nullptr);
    // No reply was dropped or given twice.
    EXPECT_THAT(*engineLog, ::testing::IsEmpty());
  }

  // Sends a call; its answers land in the returned record, in `log` by name.
  std::shared_ptr<Replies> send(const std::string& method, const ChannelValue& arguments = {},
                                std::shared_ptr<bool> gone = nullptr) {
    auto replies = std::make_shared<Replies>();
    auto codec = StandardMethodCodec::sharedInstance();
    BinaryReply::AbandonedProbe probe;
    if (gone) probe = [gone] { return *gone; };
    messenger.dispatchFromUi(
        "tessel_macos", codec->encodeMethodCall(MethodCall{method, arguments}),
        [replies, codec, log = log, method](std::span<const uint8_t> bytes) {
          replies->answers.push_back(decodeMethodResponse(bytes, *codec));
          replies->threads.push_back(std::this_thread::get_id());
          log->order.push_back(method);
        },
        std::move(probe));
    return replies;
  }
  // Lets the token queue and the main queue run until both are idle.
  void drain() {
    while (tokenQueue->runUntilIdle() + mainQueue->runUntilIdle() > 0) {
    }
  }
  // Sends a call and drains; it must have been answered exactly once.
  MethodResponse call(const std::string& method, const ChannelValue& arguments = {}) {
    auto replies = send(method, arguments);
    drain();
    EXPECT_EQ(replies->answers.size(), 1u) << method;
    return replies->answers.empty() ? MethodResponse{FlutterMethodNotImplemented}
                                    : replies->answers.front();
  }
  ChannelValue success(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    if (auto* error = std::get_if<ChannelError>(&response)) {
      ADD_FAILURE() << method << " failed: " << error->code << " " << error->message.value_or("");
    }
    auto* value = std::get_if<ChannelValue>(&response);
    return value != nullptr ? *value : ChannelValue{};
  }
  ChannelError failure(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    auto* error = std::get_if<ChannelError>(&response);
    if (error == nullptr) {
      ADD_FAILURE() << method << " did not fail";
      return {};
    }
    EXPECT_TRUE(error->details.isNull());
    return *error;
  }

  // Engine teardown: the registry and the channel let go of the plugin.
  void destroyPlugin() {
    registry.reset();
    messenger.setMessageHandler("tessel_macos", nullptr);
  }

  // An identity with its label set to `keyId` on `tokenID`.
  std::shared_ptr<FakeIdentity> addIdentity(const std::string& tokenID, const Bytes& der,
                                            const Bytes& keyId) {
    auto identity = fakes::makeIdentity(der, concat({{0x30}, der}));
    store->addItem(tokenID, {identity, keyId});
    return identity;
  }

  std::shared_ptr<FakeTokenStore> store;
  std::shared_ptr<NotifyingQueue> mainQueue = std::make_shared<NotifyingQueue>();
  std::shared_ptr<ManualQueue> tokenQueue = std::make_shared<ManualQueue>();
  std::shared_ptr<AnswerLog> log = std::make_shared<AnswerLog>();
  std::shared_ptr<std::vector<std::string>> engineLog =
      std::make_shared<std::vector<std::string>>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::weak_ptr<TesselMacosPlugin> plugin;
};

class TesselPluginTest : public ::testing::Test, public PluginHarness {};

inline ChannelValue args(ChannelMap map) { return ChannelValue(std::move(map)); }

// An entry of a map value; null when absent.
inline ChannelValue field(const ChannelValue& map, std::string_view key) {
  const ChannelValue* value = map.asMap() != nullptr ? map.asMap()->find(key) : nullptr;
  return value != nullptr ? *value : ChannelValue{};
}

inline ChannelError errorOf(const MethodResponse& response) {
  const auto* error = std::get_if<ChannelError>(&response);
  return error != nullptr ? *error : ChannelError{};
}

}  // namespace vellumark::tessel
