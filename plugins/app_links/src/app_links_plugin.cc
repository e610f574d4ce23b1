#include "app_links/app_links_plugin.h"

#include <utility>

namespace vellumark {

namespace {

constexpr char kMessagesChannel[] = "corvane.app_links/messages";
constexpr char kEventsChannel[] = "corvane.app_links/events";

constexpr char kMethodGetInitialLink[] = "getInitialLink";
constexpr char kMethodGetLatestLink[] = "getLatestLink";

ChannelValue textOrNull(const std::optional<std::string>& text) {
  return text ? ChannelValue(*text) : ChannelValue();
}

}  // namespace

void AppLinksMacosPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  const auto& services = registrar.platform();
  auto instance = std::make_shared<AppLinksMacosPlugin>(services.incomingLinks, services.urlParser);
  auto messages =
      FlutterMethodChannel::methodChannelWithName(kMessagesChannel, registrar.messenger());
  registrar.addMethodCallDelegate(instance, *messages);
  auto events = FlutterEventChannel::eventChannelWithName(kEventsChannel, registrar.messenger());
  events->setStreamHandler(instance);
  registrar.addApplicationDelegate(instance);
}

AppLinksMacosPlugin::AppLinksMacosPlugin(std::shared_ptr<platform::IncomingLinks> links,
                                         std::shared_ptr<platform::UrlParser> parser)
    : links_(std::move(links)), parser_(std::move(parser)) {}

void AppLinksMacosPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  if (call.method == kMethodGetInitialLink) {
    getInitialLink(result);
  } else if (call.method == kMethodGetLatestLink) {
    getLatestLink(result);
  } else {
    result.notImplemented();
  }
}

void AppLinksMacosPlugin::getInitialLink(const MethodResult& result) const {
  result.success(textOrNull(initialLink));
}

void AppLinksMacosPlugin::getLatestLink(const MethodResult& result) const {
  result.success(textOrNull(latestLink));
}

std::optional<ChannelError> AppLinksMacosPlugin::onListenWithArguments(
    const ChannelValue& /*arguments*/, EventSink events) {
  eventSink = std::move(events);
  if (!initialLinkSent && initialLink) {
    initialLinkSent = true;
    eventSink->success(*initialLink);
  }
  return std::nullopt;
}

std::optional<ChannelError> AppLinksMacosPlugin::onCancelWithArguments(
    const ChannelValue& /*arguments*/) {
  eventSink.reset();
  return std::nullopt;
}

void AppLinksMacosPlugin::handleWillFinishLaunching() {
  if (!links_) return;
  // The handler may outlive the plugin (the service belongs to the host).
  links_->setGetURLHandler([weak = weak_from_this()](const std::string& text) {
    if (auto self = weak.lock()) self->handleGetURLEvent(text);
  });
}

void AppLinksMacosPlugin::handleGetURLEvent(const std::string& text) {
  if (text.empty() || !parser_ || !parser_->isValidURL(text)) return;
  handleLink(text);
}

void AppLinksMacosPlugin::handleLink(const std::string& link) {
  latestLink = link;
  if (!initialLink) initialLink = link;
  if (eventSink) {
    initialLinkSent = true;
    eventSink->success(link);
  }
}

}  // namespace vellumark
