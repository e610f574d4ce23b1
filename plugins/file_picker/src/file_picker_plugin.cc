#include "file_picker/file_picker_plugin.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumark {

namespace {

constexpr char kChannelName[] = "zorbeline.flutter.plugins.filepicker";

constexpr char kMethodPickFiles[] = "pickFiles";
constexpr char kMethodGetDirectoryPath[] = "getDirectoryPath";
constexpr char kMethodPickFileAndDirectoryPaths[] = "pickFileAndDirectoryPaths";
constexpr char kMethodSaveFile[] = "saveFile";
constexpr char kMethodSkipEntitlementsChecks[] = "skipEntitlementsChecks";

constexpr std::string_view kArgInitialDirectory = "initialDirectory";
constexpr std::string_view kArgAllowMultiple = "allowMultiple";
constexpr std::string_view kArgAllowedExtensions = "allowedExtensions";
constexpr std::string_view kArgDialogTitle = "dialogTitle";
constexpr std::string_view kArgFileName = "fileName";

constexpr char kEntitlementReadOnly[] = "com.apple.security.files.user-selected.read-only";
constexpr char kEntitlementReadWrite[] = "com.apple.security.files.user-selected.read-write";

constexpr char kErrorCheckFailed[] = "ENTITLEMENT_CHECK_FAILED";
constexpr char kMessageCheckFailed[] = "Failed to verify file_picker entitlements.";
constexpr char kErrorNotFound[] = "ENTITLEMENT_NOT_FOUND";
constexpr char kMessageNotFound[] =
    "Either the Read-Only or Read-Write entitlement is required for this action.";
constexpr char kErrorRequiredWrite[] = "ENTITLEMENT_REQUIRED_WRITE";
constexpr char kMessageRequiredWrite[] = "The Read-Write entitlement is required for this action.";

// The value under `key` when the arguments are a map with only string keys.
// The UI never sends anything else; other shapes read as an empty map.
const ChannelValue* argument(const MethodCall& call, std::string_view key) {
  const ChannelMap* map = call.arguments.asMap();
  if (map == nullptr) return nullptr;
  for (const auto& [name, value] : *map) {
    if (name.asString() == nullptr) return nullptr;
  }
  return map->find(key);
}

std::string stringArgument(const MethodCall& call, std::string_view key) {
  const ChannelValue* value = argument(call, key);
  const std::string* text = value != nullptr ? value->asString() : nullptr;
  return text != nullptr ? *text : std::string();
}

bool boolArgument(const MethodCall& call, std::string_view key) {
  const ChannelValue* value = argument(call, key);
  return value != nullptr && value->is<bool>() && value->get<bool>();
}

// The strings of a list argument; an argument that is not a list of strings
// counts as an empty list.
std::vector<std::string> stringListArgument(const MethodCall& call, std::string_view key) {
  const ChannelValue* value = argument(call, key);
  const ChannelList* list = value != nullptr ? value->asList() : nullptr;
  std::vector<std::string> strings;
  if (list == nullptr) return strings;
  for (const ChannelValue& element : *list) {
    const std::string* text = element.asString();
    if (text == nullptr) return {};
    strings.push_back(*text);
  }
  return strings;
}

// An entitlement is held only when its value is a boolean true.
bool holds(const platform::SecTask& task, const char* entitlement) {
  const auto value = task.copyValueForEntitlement(entitlement);
  if (!value) return false;
  const bool* flag = std::get_if<bool>(&value->value);
  return flag != nullptr && *flag;
}

void setInitialDirectory(platform::SavePanel& panel, const MethodCall& call) {
  const std::string directory = stringArgument(call, kArgInitialDirectory);
  if (!directory.empty()) panel.setDirectory(directory);
}

ChannelValue pathList(const std::vector<std::string>& paths) {
  if (paths.empty()) return ChannelValue();
  ChannelList list;
  list.reserve(paths.size());
  for (const std::string& path : paths) list.emplace_back(path);
  return ChannelValue(std::move(list));
}

ChannelValue singlePath(const std::optional<std::string>& path) {
  return path ? ChannelValue(*path) : ChannelValue();
}

}  // namespace

void FilePickerPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  const auto& services = registrar.platform();
  auto instance = std::make_shared<FilePickerPlugin>(registrar.view(), services.entitlements,
                                                     services.filePanels, services.contentTypes);
  registrar.addMethodCallDelegate(std::move(instance), *channel);
}

FilePickerPlugin::FilePickerPlugin(platform::View* view,
                                   std::shared_ptr<platform::Entitlements> entitlements,
                                   std::shared_ptr<platform::FilePanels> panels,
                                   std::shared_ptr<platform::ContentTypes> contentTypes)
    : view_(view),
      entitlements_(std::move(entitlements)),
      panels_(std::move(panels)),
      contentTypes_(std::move(contentTypes)) {}

void FilePickerPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  const std::string& method = call.method;
  if (method == kMethodPickFiles) {
    pickFiles(call, result);
  } else if (method == kMethodGetDirectoryPath) {
    getDirectoryPath(call, result);
  } else if (method == kMethodPickFileAndDirectoryPaths) {
    pickFileAndDirectoryPaths(call, result);
  } else if (method == kMethodSaveFile) {
    saveFile(call, result);
  } else if (method == kMethodSkipEntitlementsChecks) {
    skipEntitlements(result);
  } else {
    result.notImplemented();
  }
}

void FilePickerPlugin::pickFiles(const MethodCall& call, const MethodResult& result) {
  const bool allowMultiple = boolArgument(call, kArgAllowMultiple);
  auto panel =
      openPanel(call, result, {.multiple = allowMultiple, .directories = false, .files = true});
  if (!panel) return;
  applyExtensionFilter(*panel, call);
  present(panel, result, [panel = panel.get(), allowMultiple]() -> ChannelValue {
    if (allowMultiple) return pathList(panel->paths());
    // A single choice is still a list.
    const std::optional<std::string> path = panel->path();
    return path ? pathList({*path}) : ChannelValue();
  });
}

void FilePickerPlugin::getDirectoryPath(const MethodCall& call, const MethodResult& result) {
  auto panel = openPanel(call, result, {.multiple = false, .directories = true, .files = false});
  if (!panel) return;
  present(panel, result, [panel = panel.get()] { return singlePath(panel->path()); });
}

void FilePickerPlugin::pickFileAndDirectoryPaths(const MethodCall& call,
                                                 const MethodResult& result) {
  auto panel = openPanel(call, result, {.multiple = true, .directories = true, .files = true});
  if (!panel) return;
  applyExtensionFilter(*panel, call);
  present(panel, result, [panel = panel.get()] { return pathList(panel->paths()); });
}

void FilePickerPlugin::saveFile(const MethodCall& call, const MethodResult& result) {
  if (!checkEntitlement(Access::Write, result)) return;
  auto panel = panels_ ? panels_->savePanel() : nullptr;
  if (!panel) {
    result.success();
    return;
  }
  panel->setTitle(stringArgument(call, kArgDialogTitle));
  panel->setShowsTagField(false);
  panel->setShowsHiddenFiles(false);
  panel->setCanCreateDirectories(true);
  panel->setNameFieldStringValue(stringArgument(call, kArgFileName));
  setInitialDirectory(*panel, call);
  applyExtensionFilter(*panel, call);
  present(panel, result, [panel = panel.get()] { return singlePath(panel->path()); });
}

void FilePickerPlugin::skipEntitlements(const MethodResult& result) {
  skipEntitlementsChecks_ = true;
  result.success();
}

bool FilePickerPlugin::checkEntitlement(Access access, const MethodResult& result) {
  if (skipEntitlementsChecks_) return true;
  std::unique_ptr<platform::SecTask> task =
      entitlements_ ? entitlements_->createTaskFromSelf() : nullptr;
  if (!task) {
    result.error(kErrorCheckFailed, kMessageCheckFailed);
    return false;
  }
  const bool readWrite = holds(*task, kEntitlementReadWrite);
  const bool readOnly = holds(*task, kEntitlementReadOnly);
  task.reset();
  if (access == Access::Write && !readWrite) {
    result.error(kErrorRequiredWrite, kMessageRequiredWrite);
    return false;
  }
  if (access == Access::Read && !readWrite && !readOnly) {
    result.error(kErrorNotFound, kMessageNotFound);
    return false;
  }
  return true;
}

std::shared_ptr<platform::OpenPanel> FilePickerPlugin::openPanel(const MethodCall& call,
                                                                 const MethodResult& result,
                                                                 Choice choice) {
  if (!checkEntitlement(Access::Read, result)) return nullptr;
  auto panel = panels_ ? panels_->openPanel() : nullptr;
  if (!panel) {
    result.success();
    return nullptr;
  }
  setInitialDirectory(*panel, call);
  panel->setShowsHiddenFiles(false);
  panel->setAllowsMultipleSelection(choice.multiple);
  panel->setCanChooseDirectories(choice.directories);
  panel->setCanChooseFiles(choice.files);
  return panel;
}

void FilePickerPlugin::applyExtensionFilter(platform::SavePanel& panel, const MethodCall& call) {
  const std::vector<std::string> extensions = stringListArgument(call, kArgAllowedExtensions);
  if (extensions.empty()) return;
  std::vector<platform::ContentType> types;
  for (const std::string& extension : extensions) {
    auto type = contentTypes_ ? contentTypes_->typeForFilenameExtension(extension) : std::nullopt;
    if (type) types.push_back(std::move(*type));
  }
  // Set even when empty: every extension was unknown.
  panel.setAllowedContentTypes(std::move(types));
}

void FilePickerPlugin::present(std::shared_ptr<platform::SavePanel> panel,
                               const MethodResult& result, std::function<ChannelValue()> reply) {
  // The completion keeps the panel until it has read the choice.
  platform::SavePanel& shown = *panel;
  const bool began = shown.beginSheetModalForView(
      view_, [panel = std::move(panel), result,
              reply = std::move(reply)](platform::ModalResponse response) {
        result.success(response == platform::ModalResponse::OK ? reply() : ChannelValue());
      });
  if (!began) result.success();
}

}  // namespace vellumark
