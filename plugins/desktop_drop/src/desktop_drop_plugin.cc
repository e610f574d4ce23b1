#include "desktop_drop/desktop_drop_plugin.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "desktop_drop/drop_target.h"
#include "platform/app_shell.h"
#include "platform/drag_drop.h"

namespace vellumark {

namespace {

constexpr char kChannelName[] = "desktop_drop";

constexpr char kMethodStartAccessing[] = "startAccessingSecurityScopedResource";
constexpr char kMethodStopAccessing[] = "stopAccessingSecurityScopedResource";

constexpr char kArgBookmark[] = "apple-bookmark";

constexpr char kMethodNotFoundLine[] = "method not found: ";

}  // namespace

void DesktopDropPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto* view = dynamic_cast<platform::UiView*>(registrar.view());
  const platform::Services& services = registrar.platform();
  if (view == nullptr || !services.mainQueue) return;

  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  auto target =
      std::make_shared<DropTarget>(channel, *view,
                                   DropTarget::Services{services.fileManager, services.bookmarks,
                                                        services.bundle, services.mainQueue});
  std::vector<std::string> types = platform::FilePromiseReceiver::readableDraggedTypes();
  types.emplace_back(platform::pasteboard_type::kFileURL);
  types.emplace_back(platform::pasteboard_type::kFilenames);
  // A view in no window takes no drops: then the plugin does not exist.
  if (!view->registerForDraggedTypes(types, std::move(target))) return;

  registrar.addMethodCallDelegate(std::make_shared<DesktopDropPlugin>(services.bookmarks),
                                  *channel);
}

DesktopDropPlugin::DesktopDropPlugin(std::shared_ptr<platform::Bookmarks> bookmarks)
    : bookmarks_(std::move(bookmarks)) {}

void DesktopDropPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  const std::string& method = call.method;
  if (method == kMethodStartAccessing) {
    startAccessing(call, result);
  } else if (method == kMethodStopAccessing) {
    stopAccessing(call, result);
  } else {
    std::printf("%s%s\n", kMethodNotFoundLine, method.c_str());
    std::fflush(stdout);
    result.notImplemented();
  }
}

void DesktopDropPlugin::startAccessing(const MethodCall& call, const MethodResult& result) {
  const std::optional<std::string> path = resolve(call);
  if (!path) {
    result.success();
    return;
  }
  result.success(bookmarks_->startAccessingSecurityScopedResource(*path));
}

void DesktopDropPlugin::stopAccessing(const MethodCall& call, const MethodResult& result) {
  if (const std::optional<std::string> path = resolve(call)) {
    bookmarks_->stopAccessingSecurityScopedResource(*path);
  }
  result.success(true);
}

// Arguments without bookmark bytes resolve to nothing, as a bookmark that
// no longer resolves does.
std::optional<std::string> DesktopDropPlugin::resolve(const MethodCall& call) const {
  if (!bookmarks_) return std::nullopt;
  const ChannelMap* arguments = call.arguments.asMap();
  const ChannelValue* value = arguments != nullptr ? arguments->find(kArgBookmark) : nullptr;
  const Bytes* data = value != nullptr ? value->asBytes() : nullptr;
  if (data == nullptr) return std::nullopt;
  return bookmarks_->resolveBookmarkData(*data);
}

}  // namespace vellumark
