// The drop target: serves "desktop_drop". Files dragged onto the UI view are
// reported to the UI as the drag moves ("entered", "updated", "exited") and,
// on a drop, as one "performOperation_macos" listing every dropped file with
// a bookmark through which the UI can open it again later
// ("startAccessingSecurityScopedResource", "stopAccessingSecurityScopedResource").
#pragma once

#include <memory>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/bookmarks.h"

namespace vellumark {

// Answers the UI's calls. Main-thread only.
class DesktopDropPlugin : public FlutterPlugin {
 public:
  // Installs the drop target on the registrar's view and the plugin on the
  // channel; without a view in a window, nothing is registered at all.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  explicit DesktopDropPlugin(std::shared_ptr<platform::Bookmarks> bookmarks);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

 private:
  void startAccessing(const MethodCall& call, const MethodResult& result);
  void stopAccessing(const MethodCall& call, const MethodResult& result);
  // The path the call's bookmark leads to, or nullopt.
  std::optional<std::string> resolve(const MethodCall& call) const;

  std::shared_ptr<platform::Bookmarks> bookmarks_;
};

}  // namespace vellumark
