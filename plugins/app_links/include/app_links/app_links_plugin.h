// Incoming links: the links the system asks the application to open reach
// the UI as the answers to "getInitialLink" and "getLatestLink" on
// "corvane.app_links/messages" and as events on "corvane.app_links/events".
// The plugin takes the system's open-link requests from the moment the
// application reports it will finish launching, so the link that launched
// the application is caught too.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/incoming_links.h"
#include "platform/url_parser.h"

namespace vellumark {

// Main-thread only; made with std::make_shared (the link handler holds it
// weakly).
class AppLinksMacosPlugin : public FlutterPlugin,
                            public FlutterStreamHandler,
                            public FlutterAppLifecycleDelegate,
                            public std::enable_shared_from_this<AppLinksMacosPlugin> {
 public:
  // Creates both channels and the plugin, which becomes an application
  // delegate; no link request is taken before "will finish launching".
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // Either service may be null: without links nothing arrives, without a
  // parser every request is dropped.
  AppLinksMacosPlugin(std::shared_ptr<platform::IncomingLinks> links,
                      std::shared_ptr<platform::UrlParser> parser);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override;
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue& arguments) override;
  // Installs the plugin as the receiver of open-link requests.
  void handleWillFinishLaunching() override;

  // One open-link request's text: dropped unless it parses as a URL.
  void handleGetURLEvent(const std::string& text);

 private:
  void getInitialLink(const MethodResult& result) const;
  void getLatestLink(const MethodResult& result) const;
  void handleLink(const std::string& link);

  std::shared_ptr<platform::IncomingLinks> links_;
  std::shared_ptr<platform::UrlParser> parser_;
  // The open stream's sink, while one is open.
  std::optional<EventSink> eventSink;
  // The first link of the process, never replaced once set.
  std::optional<std::string> initialLink;
  std::optional<std::string> latestLink;
  // Goes from false to true once, with the first link pushed to a stream.
  bool initialLinkSent = false;
};

}  // namespace vellumark
