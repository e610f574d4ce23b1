// Write-then-read pairs per second: through the secure storage channel (codec,
// serial queue, main-queue replies, the Secret Service keychain) beside the
// same pairs made directly with libsecret, in the same run on the same
// keyring. Run it inside tests/env/with-test-env.sh (a private gnome-keyring),
// as ./run bench does. Goal: the channel within 1.2x of the direct calls.
#include <benchmark/benchmark.h>
#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "flutter_secure_storage_darwin/flutter_secure_storage_darwin_plugin.h"
#include "secret_keychain.h"

namespace {

using namespace vellumark;

constexpr char kChannel[] = "brenwick/flutter_secure_storage";
constexpr char kValue[] = "a secret of some thirty-two bytes";

const SecretSchema* directSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "org.vellumark.Bench";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

// The main queue: tasks run on the benchmark's thread when it waits.
class WaitingQueue : public TaskQueue {
 public:
  void post(Task task) override {
    inner_.post(std::move(task));
    std::lock_guard lock(mutex_);
    cv_.notify_all();
  }
  void postAfter(std::chrono::milliseconds delay, Task task) override {
    inner_.postAfter(delay, std::move(task));
    std::lock_guard lock(mutex_);
    cv_.notify_all();
  }
  template <typename Done>
  void runUntil(Done done) {
    while (!done()) {
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return inner_.pending() > 0; });
      }
      inner_.runUntilIdle();
    }
  }

 private:
  ManualQueue inner_;
  std::mutex mutex_;
  std::condition_variable cv_;
};

void BM_DirectLibsecret(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    const std::string account = "direct" + std::to_string(i++ % 10);
    GError* error = nullptr;
    secret_password_store_sync(directSchema(), SECRET_COLLECTION_DEFAULT, "bench", kValue, nullptr,
                               &error, "account", account.c_str(), "service", "bench", nullptr);
    gchar* read = secret_password_lookup_sync(directSchema(), nullptr, &error, "account",
                                              account.c_str(), "service", "bench", nullptr);
    if (error != nullptr || read == nullptr) {
      state.SkipWithError(error != nullptr ? error->message : "nothing read");
      if (error != nullptr) g_error_free(error);
      return;
    }
    secret_password_free(read);
  }
  secret_password_clear_sync(directSchema(), nullptr, nullptr, "service", "bench", nullptr);
}

void BM_Channel(benchmark::State& state) {
  auto mainQueue = std::make_shared<WaitingQueue>();
  EngineMessenger messenger;
  platform::Services services;
  services.mainQueue = mainQueue;
  services.keychain = platform::Lazy<platform::KeychainServices>::of(
      linux_platform::createSecretKeychainServices());
  auto registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
  FlutterSecureStorageDarwinPlugin::registerWithRegistrar(
      registry->registrarForPlugin("FlutterSecureStorageDarwinPlugin"));
  auto codec = StandardMethodCodec::sharedInstance();
  auto options = ChannelValue(ChannelMap{{ChannelValue("accountName"), ChannelValue("bench")}});
  int answered = 0;
  bool failed = false;
  auto send = [&](const std::string& method, ChannelMap arguments) {
    arguments.append(ChannelValue("options"), options);
    messenger.dispatchFromUi(
        kChannel, codec->encodeMethodCall(MethodCall{method, ChannelValue(arguments)}),
        [&](std::span<const uint8_t> reply) {
          ++answered;
          if (std::holds_alternative<ChannelError>(decodeMethodResponse(reply, *codec))) {
            failed = true;
          }
        });
  };
  int i = 0;
  for (auto _ : state) {
    const std::string key = "channel" + std::to_string(i++ % 10);
    answered = 0;
    send("write", ChannelMap{{ChannelValue("key"), ChannelValue(key)},
                             {ChannelValue("value"), ChannelValue(kValue)}});
    send("read", ChannelMap{{ChannelValue("key"), ChannelValue(key)}});
    mainQueue->runUntil([&] { return answered == 2; });
    if (failed) {
      state.SkipWithError("a call failed");
      break;
    }
  }
  answered = 0;
  send("deleteAll", ChannelMap{});
  mainQueue->runUntil([&] { return answered == 1; });
  registry.reset();
  messenger.setMessageHandler(kChannel, nullptr);
}

BENCHMARK(BM_DirectLibsecret)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Channel)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints as usual and, at the end, the goal line.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      perIteration_[run.run_name.function_name] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto direct = perIteration_.find("BM_DirectLibsecret");
    auto channel = perIteration_.find("BM_Channel");
    if (direct == perIteration_.end() || channel == perIteration_.end()) return;
    const double ratio = channel->second / direct->second;
    std::printf(
        "write+read pair through the channel / direct libsecret = %.2fx (%.2f ms / %.2f ms), "
        "goal <= 1.2x, %s\n",
        ratio, channel->second * 1e3, direct->second * 1e3, ratio <= 1.2 ? "met" : "missed");
  }

 private:
  std::map<std::string, double> perIteration_;  // seconds
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GoalReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
