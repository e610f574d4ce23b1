#include "flutter_secure_storage_darwin/flutter_secure_storage_darwin_plugin.h"

#include <string>
#include <utility>

#include "embedding/task_queue.h"
#include "flutter_secure_storage.h"
#include "keychain_query_parameters.h"
#include "platform/protected_data.h"

namespace vellumark {

namespace {

using secure_storage::FlutterSecureStorage;
using secure_storage::FlutterSecureStorageResponse;
using secure_storage::OSSecError;

constexpr char kChannelName[] = "brenwick/flutter_secure_storage";
constexpr char kEventChannelName[] = "brenwick/flutter_secure_storage/events";
constexpr char kQueueLabel[] = "flutter_secure_storage_service";

constexpr char kMethodRead[] = "read";
constexpr char kMethodWrite[] = "write";
constexpr char kMethodDelete[] = "delete";
constexpr char kMethodDeleteAll[] = "deleteAll";
constexpr char kMethodReadAll[] = "readAll";
constexpr char kMethodContainsKey[] = "containsKey";
constexpr char kMethodIsProtectedDataAvailable[] = "isProtectedDataAvailable";

constexpr char kErrorMissingParameter[] = "Missing Parameter";
constexpr char kMessageReadArgs[] = "read requires key parameter";
constexpr char kMessageWriteArgs[] = "write requires key and value parameters";
constexpr char kMessageDeleteArgs[] = "delete requires key parameter";
constexpr char kMessageContainsKeyArgs[] = "containsKey requires key parameter";
constexpr char kErrorSecurityResult[] = "Unexpected security result code";
constexpr char kMessageCode[] = "Code: ";
constexpr char kMessageMessage[] = ", Message: ";
constexpr char kMessageUnknownCode[] = "Unknown security result code: ";

MethodResponse missingParameter(const char* message) {
  return ChannelError::errorWithCode(kErrorMissingParameter, message);
}

// The platform's text of a status; without a keychain, the texts it would give.
std::optional<std::string> statusText(FlutterSecureStorage& engine, int32_t status) {
  auto services = engine.services();
  if (services && services->keychain) return services->keychain->copyErrorMessageString(status);
  return platform::keychainStatusText(status);
}

// "Code: s, Message: T", or with `textOnly` T alone; `text` stands in for the
// platform's text when given.
MethodResponse securityError(FlutterSecureStorage& engine, int32_t status,
                             std::optional<std::string> text, bool textOnly) {
  if (!text) text = statusText(engine, status);
  std::string message;
  if (!text) {
    message = kMessageUnknownCode + std::to_string(status);
  } else if (textOnly) {
    message = *text;
  } else {
    message = kMessageCode + std::to_string(status) + kMessageMessage + *text;
  }
  return ChannelError::errorWithCode(kErrorSecurityResult, std::move(message),
                                     ChannelValue(status));
}

MethodResponse reply(FlutterSecureStorage& engine, const FlutterSecureStorageResponse& response) {
  if (response.status != platform::keychain_status::kSuccess) {
    return securityError(engine, response.status, std::nullopt, false);
  }
  if (const auto* text = std::get_if<std::string>(&response.value)) return ChannelValue(*text);
  if (const auto* values = std::get_if<std::map<std::string, std::string>>(&response.value)) {
    ChannelMap map;
    for (const auto& [key, value] : *values) map.append(ChannelValue(key), ChannelValue(value));
    return ChannelValue(std::move(map));
  }
  return ChannelValue();
}

// Serial queue, each of them.
MethodResponse read(FlutterSecureStorage& engine, const MethodCall& call) {
  auto parsed = secure_storage::parseCall(call.arguments);
  if (!parsed.parameters.key) return missingParameter(kMessageReadArgs);
  return reply(engine, engine.read(parsed.parameters));
}

MethodResponse write(FlutterSecureStorage& engine, const MethodCall& call) {
  auto parsed = secure_storage::parseCall(call.arguments);
  if (!parsed.parameters.key || !parsed.value) return missingParameter(kMessageWriteArgs);
  return reply(engine, engine.write(parsed.parameters, *parsed.value));
}

MethodResponse remove(FlutterSecureStorage& engine, const MethodCall& call) {
  auto parsed = secure_storage::parseCall(call.arguments);
  if (!parsed.parameters.key) return missingParameter(kMessageDeleteArgs);
  return reply(engine, engine.remove(parsed.parameters));
}

MethodResponse deleteAll(FlutterSecureStorage& engine, const MethodCall& call) {
  return reply(engine, engine.deleteAll(secure_storage::parseCall(call.arguments).parameters));
}

MethodResponse readAll(FlutterSecureStorage& engine, const MethodCall& call) {
  return reply(engine, engine.readAll(secure_storage::parseCall(call.arguments).parameters));
}

MethodResponse containsKey(FlutterSecureStorage& engine, const MethodCall& call) {
  auto parsed = secure_storage::parseCall(call.arguments);
  if (!parsed.parameters.key) return missingParameter(kMessageContainsKeyArgs);
  try {
    return ChannelValue(engine.containsKey(parsed.parameters));
  } catch (const OSSecError& error) {
    // A rejected query keeps its own explanation; a keychain status has only its text.
    return securityError(engine, error.status, error.message, !error.message.has_value());
  }
}

MethodResponse isProtectedDataAvailable(FlutterSecureStorage& engine) {
  auto services = engine.services();
  return ChannelValue(services && services->protectedData &&
                      services->protectedData->isProtectedDataAvailable());
}

// Serial queue: the one dispatcher.
MethodResponse dispatch(FlutterSecureStorage& engine, const MethodCall& call) {
  const std::string& method = call.method;
  try {
    if (method == kMethodRead) return read(engine, call);
    if (method == kMethodWrite) return write(engine, call);
    if (method == kMethodDelete) return remove(engine, call);
    if (method == kMethodDeleteAll) return deleteAll(engine, call);
    if (method == kMethodReadAll) return readAll(engine, call);
    if (method == kMethodContainsKey) return containsKey(engine, call);
    if (method == kMethodIsProtectedDataAvailable) return isProtectedDataAvailable(engine);
  } catch (const OSSecError& error) {
    // The query could not be made, or there is no keychain: nothing was sent.
    return securityError(engine, error.status, error.message, false);
  }
  return FlutterMethodNotImplemented;
}

}  // namespace

void FlutterSecureStorageDarwinPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  auto events = FlutterEventChannel::eventChannelWithName(kEventChannelName, registrar.messenger());
  const auto& services = registrar.platform();
  // The queue's thread starts with its first call, not here.
  auto instance = std::make_shared<FlutterSecureStorageDarwinPlugin>(
      services.keychain, services.mainQueue, std::make_shared<SerialQueue>(kQueueLabel));
  registrar.addMethodCallDelegate(instance, *channel);
  events->setStreamHandler(instance);
}

FlutterSecureStorageDarwinPlugin::FlutterSecureStorageDarwinPlugin(
    platform::Lazy<platform::KeychainServices> services,
    std::shared_ptr<platform::TaskQueue> mainQueue,
    std::shared_ptr<platform::TaskQueue> serialQueue)
    : flutterSecureStorageManager(std::make_shared<FlutterSecureStorage>(std::move(services))),
      mainQueue_(std::move(mainQueue)),
      serialExecutionQueue(std::move(serialQueue)) {}

FlutterSecureStorageDarwinPlugin::~FlutterSecureStorageDarwinPlugin() {
  // A SerialQueue finishes the queued calls here; their replies go to the
  // main queue, where a gone channel ignores them.
  serialExecutionQueue.reset();
}

void FlutterSecureStorageDarwinPlugin::handleMethodCall(const MethodCall& call,
                                                        MethodResult result) {
  if (!mainQueue_ || !serialExecutionQueue) {
    result(dispatch(*flutterSecureStorageManager, call));
    return;
  }
  serialExecutionQueue->post(
      [engine = flutterSecureStorageManager, mainQueue = mainQueue_, call, result] {
        MethodResponse response = dispatch(*engine, call);
        mainQueue->post([result, response = std::move(response)] { result(response); });
      });
}

std::optional<ChannelError> FlutterSecureStorageDarwinPlugin::onListenWithArguments(
    const ChannelValue& /*arguments*/, EventSink events) {
  secStoreAvailabilitySink = std::move(events);
  if (watching_ || !mainQueue_ || !serialExecutionQueue) return std::nullopt;
  // The keychain is reached on the queue, so listening never blocks the main loop.
  watching_ = true;
  serialExecutionQueue->post(
      [engine = flutterSecureStorageManager, mainQueue = mainQueue_, plugin = weak_from_this()] {
        auto services = engine->services();
        if (!services || !services->protectedData) return;
        services->protectedData->watch([mainQueue, plugin](bool available) {
          mainQueue->post([plugin, available] {
            if (auto self = plugin.lock()) self->protectedDataChanged(available);
          });
        });
      });
  return std::nullopt;
}

std::optional<ChannelError> FlutterSecureStorageDarwinPlugin::onCancelWithArguments(
    const ChannelValue& /*arguments*/) {
  secStoreAvailabilitySink.reset();
  return std::nullopt;
}

void FlutterSecureStorageDarwinPlugin::protectedDataChanged(bool available) {
  if (secStoreAvailabilitySink) secStoreAvailabilitySink->success(ChannelValue(available));
}

}  // namespace vellumark
