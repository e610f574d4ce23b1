// The screen retriever plugin: answers the UI's questions about the displays
// and the cursor on "marrowdene/screen_retriever", and tells a listener on
// "marrowdene/screen_retriever_event" when a display comes or goes.
//
// Positions are turned from the platform's bottom-left coordinates into a
// top-left origin against the primary screen's frame, the cursor included
// (measuring it from the lowest top edge of all screens, as once described,
// put a cursor on the primary screen off every screen as soon as a second
// screen sat below it). With no screen at all the primary screen counts as
// 0 high and "getPrimaryDisplay" answers a display map of zeros with the id
// "0". Main-thread only.
#pragma once

#include <memory>
#include <optional>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/screens.h"

namespace vellumark {

class ScreenRetrieverMacosPlugin : public FlutterPlugin,
                                   public FlutterStreamHandler,
                                   public std::enable_shared_from_this<ScreenRetrieverMacosPlugin> {
 public:
  // Creates both channels and the plugin, counts the screens and starts
  // observing their changes. Without a screen service the plugin answers as
  // for no screen.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  explicit ScreenRetrieverMacosPlugin(std::shared_ptr<platform::Screens> screens);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;
  std::optional<ChannelError> onListenWithArguments(const ChannelValue& arguments,
                                                    EventSink events) override;
  std::optional<ChannelError> onCancelWithArguments(const ChannelValue& arguments) override;

  // The screens changed: sends "display-added" or "display-removed" when
  // their number went up or down.
  void screenParametersDidChange();
  int64_t externalDisplayCount() const { return externalDisplayCount_; }

 private:
  void getCursorScreenPoint(const MethodResult& result);
  void getPrimaryDisplay(const MethodResult& result);
  void getAllDisplays(const MethodResult& result);

  int64_t screenCount() const;

  std::shared_ptr<platform::Screens> screens_;
  std::shared_ptr<void> observation_;
  std::optional<EventSink> eventSink_;
  int64_t externalDisplayCount_ = 0;
};

}  // namespace vellumark
