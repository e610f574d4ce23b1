#include "tessel_macos/tessel_macos_plugin.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "ctk_token_manager.h"
#include "embedding/task_queue.h"

namespace vellumark {

namespace {

constexpr char kChannelName[] = "tessel_macos";
constexpr char kTokenQueueLabel[] = "tessel_macos.tokens";

constexpr char kMethodInitialize[] = "initialize";
constexpr char kMethodDispose[] = "dispose";
constexpr char kMethodIsTokenAvailable[] = "isTokenAvailable";
constexpr char kMethodGetCertificates[] = "getCertificates";
constexpr char kMethodSignData[] = "signData";
constexpr char kMethodSignBytes[] = "signBytes";

constexpr std::string_view kArgOnlyForSigning = "onlyForSigning";
constexpr std::string_view kArgData = "data";
constexpr std::string_view kArgKeyId = "keyId";
constexpr std::string_view kArgHash = "hash";
constexpr std::string_view kArgCertDer = "certDer";

constexpr char kErrorNotInitialized[] = "NOT_INITIALIZED";
constexpr char kMessageNotInitialized[] = "Plugin not initialized";
constexpr char kErrorInvalidArgs[] = "INVALID_ARGS";
constexpr char kMessageSignDataArgs[] = "Missing required arguments: data, keyId";
constexpr char kMessageSignBytesArgs[] = "Missing required arguments: keyId, hash";
constexpr char kErrorCertificates[] = "CERTIFICATES_ERROR";
constexpr char kMessageCertificatesCancelled[] = "Certificate listing cancelled";
constexpr char kErrorSign[] = "SIGN_ERROR";
constexpr char kErrorUserCancelled[] = "USER_CANCELLED";
constexpr char kMessageUserCancelled[] = "User cancelled PIN entry";
constexpr char kMessageUnknownError[] = "Unknown error";

// While a job outlives its plugin's teardown, the dismissal is repeated: a
// PIN dialog that opened just after the previous one is closed too.
constexpr auto kCancelRepeat = std::chrono::milliseconds(100);

// The arguments as a map whose keys are all strings; null for anything else,
// which the methods read as an empty map.
const ChannelMap* stringKeyedMap(const ChannelValue& arguments) {
  const ChannelMap* map = arguments.asMap();
  if (map == nullptr) return nullptr;
  for (const auto& [key, value] : *map) {
    if (key.asString() == nullptr) return nullptr;
  }
  return map;
}

// The typed bytes under `key` of a map argument, or null.
const Bytes* bytesArgument(const ChannelMap* arguments, std::string_view key) {
  if (arguments == nullptr) return nullptr;
  const ChannelValue* value = arguments->find(key);
  return value != nullptr ? value->asBytes() : nullptr;
}

MethodResponse errorResponse(std::string code, std::string message) {
  return ChannelError::errorWithCode(std::move(code), std::move(message));
}

}  // namespace

namespace tessel {

// Shared by the plugin (main thread) and its jobs (token queue): once closed,
// no job starts token work, and teardown can wait for the one running.
class TokenWorkGate {
 public:
  // Token queue: false once closed; otherwise the job runs until leave().
  bool enter() {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    running_ = true;
    return true;
  }
  // Token queue.
  void leave() {
    {
      std::lock_guard lock(mutex_);
      running_ = false;
    }
    idle_.notify_all();
  }
  // Any thread.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  // Main thread, after close(): waits for the running job to end, dismissing
  // the PIN dialog it may have opened in the meantime.
  void waitIdle(platform::TokenService& tokens) {
    std::unique_lock lock(mutex_);
    while (running_) {
      lock.unlock();
      tokens.cancelInteraction();
      lock.lock();
      idle_.wait_for(lock, kCancelRepeat, [this] { return !running_; });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  bool closed_ = false;
  bool running_ = false;
};

}  // namespace tessel

void TesselMacosPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  const auto& services = registrar.platform();
  // Without a main queue nothing could be answered from the token thread.
  std::shared_ptr<TaskQueue> tokenQueue;
  if (services.mainQueue) tokenQueue = std::make_shared<SerialQueue>(kTokenQueueLabel);
  auto instance = std::make_shared<TesselMacosPlugin>(services.tokens, channel, services.mainQueue,
                                                      std::move(tokenQueue));
  registrar.addMethodCallDelegate(instance, *channel);
  registrar.addApplicationDelegate(instance);
}

TesselMacosPlugin::TesselMacosPlugin(std::shared_ptr<platform::TokenService> tokens,
                                     std::shared_ptr<FlutterMethodChannel> channel,
                                     std::shared_ptr<platform::TaskQueue> mainQueue,
                                     std::shared_ptr<platform::TaskQueue> tokenQueue)
    : tokens_(tessel::tokenServiceOrUnavailable(std::move(tokens))),
      channel_(std::move(channel)),
      mainQueue_(std::move(mainQueue)),
      tokenQueue_(std::move(tokenQueue)),
      gate_(std::make_shared<tessel::TokenWorkGate>()) {}

TesselMacosPlugin::~TesselMacosPlugin() {
  cancelAll();
  gate_->waitIdle(*tokens_);
  // A SerialQueue joins here; what is still queued finds the gate closed.
  tokenQueue_.reset();
}

void TesselMacosPlugin::handleWillTerminate() { cancelAll(); }

void TesselMacosPlugin::cancelAll() {
  cancelled_ = true;
  gate_->close();
  tokens_->cancelInteraction();
  if (inFlight_) {
    InFlight call = std::move(*inFlight_);
    inFlight_.reset();
    call.result(call.cancelled);
  }
  // What waits still gets its turn: token work now answers as cancelled.
  runWaiting();
}

void TesselMacosPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  waiting_.push_back(Waiting{call, std::move(result)});
  runWaiting();
}

void TesselMacosPlugin::runWaiting() {
  // An answer may bring the next call in re-entrantly: the outer loop takes it.
  if (running_) return;
  running_ = true;
  while (!inFlight_ && !waiting_.empty()) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    dispatch(next.call, next.result);
  }
  running_ = false;
}

void TesselMacosPlugin::dispatch(const MethodCall& call, const MethodResult& result) {
  const std::string& method = call.method;
  if (method == kMethodInitialize) {
    initialize(result);
  } else if (method == kMethodDispose) {
    dispose(result);
  } else if (method == kMethodIsTokenAvailable) {
    isTokenAvailable(result);
  } else if (method == kMethodGetCertificates) {
    getCertificates(call, result);
  } else if (method == kMethodSignData) {
    signData(call, result);
  } else if (method == kMethodSignBytes) {
    signBytes(call, result);
  } else {
    result.notImplemented();
  }
}

void TesselMacosPlugin::initialize(const MethodResult& result) {
  tokenManager = std::make_shared<tessel::CtkTokenManager>(tokens_);
  result.success();
}

void TesselMacosPlugin::dispose(const MethodResult& result) {
  tokenManager.reset();
  result.success();
}

void TesselMacosPlugin::isTokenAvailable(const MethodResult& result) {
  startTokenWork(result, ChannelValue(false), [tokens = tokens_]() -> MethodResponse {
    try {
      return ChannelValue(!tokens->tokenIDs().empty());
    } catch (...) {
      // A watcher that cannot be read shows no token.
      return ChannelValue(false);
    }
  });
}

void TesselMacosPlugin::getCertificates(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  bool onlyForSigning = true;
  if (const ChannelMap* arguments = stringKeyedMap(call.arguments)) {
    const ChannelValue* value = arguments->find(kArgOnlyForSigning);
    if (value != nullptr && value->is<bool>()) onlyForSigning = value->get<bool>();
  }
  startTokenWork(result, errorResponse(kErrorCertificates, kMessageCertificatesCancelled),
                 [manager = tokenManager, onlyForSigning]() -> MethodResponse {
                   try {
                     ChannelList list;
                     for (const auto& record : manager->getCertificates(onlyForSigning)) {
                       list.push_back(record.toDictionary());
                     }
                     return ChannelValue(std::move(list));
                   } catch (const tessel::CtkError& error) {
                     return errorResponse(kErrorCertificates, error.message);
                   } catch (const std::exception& error) {
                     return errorResponse(kErrorCertificates, error.what());
                   } catch (...) {
                     return errorResponse(kErrorCertificates, kMessageUnknownError);
                   }
                 });
}

void TesselMacosPlugin::signData(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  const ChannelMap* arguments = stringKeyedMap(call.arguments);
  const Bytes* data = bytesArgument(arguments, kArgData);
  const Bytes* keyId = bytesArgument(arguments, kArgKeyId);
  if (data == nullptr || keyId == nullptr) {
    result.error(kErrorInvalidArgs, kMessageSignDataArgs);
    return;
  }
  // "data" is already the SHA-256 digest of what is signed.
  sign(result, *data, *keyId, std::nullopt);
}

void TesselMacosPlugin::signBytes(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  const ChannelMap* arguments = stringKeyedMap(call.arguments);
  const Bytes* keyId = bytesArgument(arguments, kArgKeyId);
  const Bytes* hash = bytesArgument(arguments, kArgHash);
  if (keyId == nullptr || hash == nullptr) {
    result.error(kErrorInvalidArgs, kMessageSignBytesArgs);
    return;
  }
  std::optional<Bytes> certDer;
  if (const Bytes* der = bytesArgument(arguments, kArgCertDer)) certDer = *der;
  sign(result, *hash, *keyId, std::move(certDer));
}

void TesselMacosPlugin::sign(const MethodResult& result, Bytes digest, Bytes keyId,
                             std::optional<Bytes> certDer) {
  startTokenWork(result, errorResponse(kErrorUserCancelled, kMessageUserCancelled),
                 [manager = tokenManager, digest = std::move(digest), keyId = std::move(keyId),
                  certDer = std::move(certDer)]() -> MethodResponse {
                   try {
                     return ChannelValue::bytes(manager->signDigest(digest, keyId, certDer));
                   } catch (const tessel::CtkError& error) {
                     return errorResponse(error.code, error.message);
                   } catch (const std::exception& error) {
                     return errorResponse(kErrorSign, error.what());
                   } catch (...) {
                     return errorResponse(kErrorSign, kMessageUnknownError);
                   }
                 });
}

void TesselMacosPlugin::startTokenWork(const MethodResult& result, MethodResponse cancelled,
                                       TokenWork work) {
  // Nobody waits for the answer, or the plugin is going: leave the token be.
  if (cancelled_ || result.abandoned()) {
    result(cancelled);
    return;
  }
  if (!mainQueue_ || !tokenQueue_) {
    result(work());
    return;
  }
  const uint64_t job = ++lastJob_;
  inFlight_ = InFlight{job, result, std::move(cancelled)};
  tokenQueue_->post([gate = gate_, mainQueue = mainQueue_,
                     plugin = std::weak_ptr<TesselMacosPlugin>(weak_from_this()), job,
                     work = std::move(work)] {
    std::optional<MethodResponse> response;
    if (gate->enter()) {
      try {
        response = work();
      } catch (...) {
        response = errorResponse(kErrorSign, kMessageUnknownError);
      }
      gate->leave();
    }
    mainQueue->post([plugin, job, response = std::move(response)] {
      if (auto self = plugin.lock()) self->finishTokenWork(job, response);
    });
  });
}

void TesselMacosPlugin::finishTokenWork(uint64_t job, std::optional<MethodResponse> response) {
  // Already answered as cancelled, or the job of a call that is gone.
  if (!inFlight_ || inFlight_->job != job) return;
  InFlight call = std::move(*inFlight_);
  inFlight_.reset();
  call.result(response ? *response : call.cancelled);
  runWaiting();
}

}  // namespace vellumark
