// The platform services a plugin may use, handed out by its registrar.
// The app wires the Linux backends in; tests wire fakes. Each service is an
// interface of its own header in this folder; a null pointer means the
// service is not available in this process.
#pragma once

#include <memory>

#include "platform/lazy.h"
#include "platform/task_queue.h"

namespace vellumark::platform {

class View;
class Bundle;
class TokenService;
class WindowSystem;
class Screens;
class UpdateFramework;
class SystemLog;

class Sysctl;
class DeviceFacts;
class PackageFacts;
class UrlParser;
class Workspace;
class IncomingLinks;

class Entitlements;
class FilePanels;
class ContentTypes;
class FileManager;
class Bookmarks;
struct KeychainServices;
class UserDefaults;

struct Services {
  std::shared_ptr<Bundle> bundle;
  std::shared_ptr<TokenService> tokens;
  // The main queue: the GLib main context in the app, a queue the test
  // drains in tests. Never null in a running host.
  std::shared_ptr<TaskQueue> mainQueue;
  // The application's windows, activation and dock tile (window_control.h).
  // Default-initialised, so shorter aggregate initialisers stay warning-free.
  std::shared_ptr<WindowSystem> windows = {};
  // The displays and the pointer (screens.h).
  std::shared_ptr<Screens> screens = {};
  // The update framework (updater.h), made on the first "setConfig".
  Lazy<UpdateFramework> updater = {};
  // The system log (updater.h).
  std::shared_ptr<SystemLog> systemLog = {};
  // The kernel's controls (sysctl.h) and the machine's other facts
  // (device_facts.h), read on each device-information call.
  std::shared_ptr<Sysctl> sysctl = {};
  std::shared_ptr<DeviceFacts> deviceFacts = {};
  // Environment, document folders and file dates (package_facts.h).
  std::shared_ptr<PackageFacts> packageFacts = {};
  // The URL parser (url_parser.h), the workspace that opens URLs
  // (workspace.h) and the links the system asks the application to open
  // (incoming_links.h).
  std::shared_ptr<UrlParser> urlParser = {};
  std::shared_ptr<Workspace> workspace = {};
  std::shared_ptr<IncomingLinks> incomingLinks = {};
  // The process's entitlements (entitlements.h), open and save panels
  // (file_panels.h), content types (content_types.h), file-system facts
  // (file_manager.h) and bookmarks (bookmarks.h).
  std::shared_ptr<Entitlements> entitlements = {};
  std::shared_ptr<FilePanels> filePanels = {};
  std::shared_ptr<ContentTypes> contentTypes = {};
  std::shared_ptr<FileManager> fileManager = {};
  std::shared_ptr<Bookmarks> bookmarks = {};
  // The keychain, enclave keys and protected-data availability (keychain.h),
  // made on the first secure storage call or availability listener.
  Lazy<KeychainServices> keychain = {};
  // The user-defaults store (user_defaults.h); it reads its files on each
  // preferences call, never at start-up.
  std::shared_ptr<UserDefaults> userDefaults = {};
};

// The UI view the engine draws into; its window is the main window. Later
// window services extend this interface.
class View {
 public:
  virtual ~View() = default;
};

}  // namespace vellumark::platform
