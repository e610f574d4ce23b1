#include "tessel_macos/tessel_macos_plugin.h"

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "ctk_token_manager.h"

namespace vellumark {

namespace {

constexpr char kChannelName[] = "tessel_macos";

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
constexpr char kErrorSign[] = "SIGN_ERROR";
constexpr char kMessageUnknownError[] = "Unknown error";

// The typed bytes under `key` of a map argument, or null.
const Bytes* bytesArgument(const ChannelMap* arguments, std::string_view key) {
  if (arguments == nullptr) return nullptr;
  const ChannelValue* value = arguments->find(key);
  return value != nullptr ? value->asBytes() : nullptr;
}

}  // namespace

void TesselMacosPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  auto instance = std::make_shared<TesselMacosPlugin>(registrar.platform().tokens, channel);
  registrar.addMethodCallDelegate(instance, *channel);
}

TesselMacosPlugin::TesselMacosPlugin(std::shared_ptr<platform::TokenService> tokens,
                                     std::shared_ptr<FlutterMethodChannel> channel)
    : tokens_(tessel::tokenServiceOrUnavailable(std::move(tokens))), channel_(std::move(channel)) {}

TesselMacosPlugin::~TesselMacosPlugin() = default;

void TesselMacosPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
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
  tokenManager = std::make_unique<tessel::CtkTokenManager>(tokens_);
  result.success();
}

void TesselMacosPlugin::dispose(const MethodResult& result) {
  tokenManager.reset();
  result.success();
}

void TesselMacosPlugin::isTokenAvailable(const MethodResult& result) {
  bool available = false;
  try {
    available = !tokens_->tokenIDs().empty();
  } catch (const std::exception&) {
    // A watcher that cannot be read shows no token.
  }
  result.success(available);
}

void TesselMacosPlugin::getCertificates(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  bool onlyForSigning = true;
  if (const ChannelMap* arguments = call.arguments.asMap()) {
    const ChannelValue* value = arguments->find(kArgOnlyForSigning);
    if (value != nullptr && value->is<bool>()) onlyForSigning = value->get<bool>();
  }

  ChannelList list;
  try {
    for (const auto& record : tokenManager->getCertificates(onlyForSigning)) {
      list.push_back(record.toDictionary());
    }
  } catch (const tessel::CtkError& error) {
    result.error(kErrorCertificates, error.message);
    return;
  } catch (const std::exception& error) {
    result.error(kErrorCertificates, error.what());
    return;
  } catch (...) {
    result.error(kErrorCertificates, kMessageUnknownError);
    return;
  }
  result.success(std::move(list));
}

void TesselMacosPlugin::signData(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  const ChannelMap* arguments = call.arguments.asMap();
  const Bytes* data = bytesArgument(arguments, kArgData);
  const Bytes* keyId = bytesArgument(arguments, kArgKeyId);
  if (data == nullptr || keyId == nullptr) {
    result.error(kErrorInvalidArgs, kMessageSignDataArgs);
    return;
  }
  // "data" is already the SHA-256 digest of what is signed.
  replySignature(result, *data, *keyId, std::nullopt);
}

void TesselMacosPlugin::signBytes(const MethodCall& call, const MethodResult& result) {
  if (!tokenManager) {
    result.error(kErrorNotInitialized, kMessageNotInitialized);
    return;
  }
  const ChannelMap* arguments = call.arguments.asMap();
  const Bytes* keyId = bytesArgument(arguments, kArgKeyId);
  const Bytes* hash = bytesArgument(arguments, kArgHash);
  if (keyId == nullptr || hash == nullptr) {
    result.error(kErrorInvalidArgs, kMessageSignBytesArgs);
    return;
  }
  std::optional<Bytes> certDer;
  if (const Bytes* der = bytesArgument(arguments, kArgCertDer)) certDer = *der;
  replySignature(result, *hash, *keyId, certDer);
}

void TesselMacosPlugin::replySignature(const MethodResult& result, const Bytes& digest,
                                       const Bytes& keyId, const std::optional<Bytes>& certDer) {
  Bytes signature;
  try {
    signature = tokenManager->signDigest(digest, keyId, certDer);
  } catch (const tessel::CtkError& error) {
    result.error(error.code, error.message);
    return;
  } catch (const std::exception& error) {
    result.error(kErrorSign, error.what());
    return;
  } catch (...) {
    result.error(kErrorSign, kMessageUnknownError);
    return;
  }
  result.success(ChannelValue::bytes(std::move(signature)));
}

}  // namespace vellumark
