// The URL launcher: answers "canLaunchUrl" and "launchUrl" of UrlLauncherApi
// (basic-message channels with the launcher's codec) by asking the system's
// URL handler which application opens a URL, or to open it there.
#pragma once

#include <memory>
#include <string>

#include "embedding/registrar.h"
#include "platform/url_parser.h"
#include "platform/workspace.h"

namespace vellumark {

namespace url_launcher {
class UrlLauncherBoolResult;
}

// How the plugin reaches the system: open a URL, and find the application
// that would open one. The desktop's workspace is one.
using SystemURLHandler = platform::Workspace;

// Main-thread only.
class UrlLauncherPlugin {
 public:
  // Sets up UrlLauncherApi with a plugin on the host's workspace; without a
  // workspace service the operations are left unserved.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `workspace` is required; without `parser` every URL is invalid.
  UrlLauncherPlugin(std::shared_ptr<SystemURLHandler> workspace,
                    std::shared_ptr<platform::UrlParser> parser);

  url_launcher::UrlLauncherBoolResult canLaunchUrl(const std::string& url);
  url_launcher::UrlLauncherBoolResult launchUrl(const std::string& url);

  SystemURLHandler& workspace() const { return *workspace_; }

 private:
  bool parses(const std::string& url) const;

  std::shared_ptr<SystemURLHandler> workspace_;
  std::shared_ptr<platform::UrlParser> parser_;
};

}  // namespace vellumark
