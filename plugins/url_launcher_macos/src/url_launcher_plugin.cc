#include "url_launcher_macos/url_launcher_plugin.h"

#include <stdexcept>
#include <utility>

#include "messages.h"

namespace vellumark {

namespace {

using url_launcher::UrlLauncherBoolResult;
using url_launcher::UrlLauncherError;

// The interface the channels call, forwarding to the plugin.
class UrlLauncherApiImpl : public url_launcher::UrlLauncherApi {
 public:
  explicit UrlLauncherApiImpl(std::shared_ptr<UrlLauncherPlugin> plugin)
      : plugin_(std::move(plugin)) {}
  UrlLauncherBoolResult canLaunchUrl(const std::string& url) override {
    return plugin_->canLaunchUrl(url);
  }
  UrlLauncherBoolResult launchUrl(const std::string& url) override {
    return plugin_->launchUrl(url);
  }

 private:
  std::shared_ptr<UrlLauncherPlugin> plugin_;
};

UrlLauncherBoolResult invalidUrl() { return {false, UrlLauncherError::invalidUrl}; }

}  // namespace

void UrlLauncherPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  const auto& services = registrar.platform();
  if (!services.workspace) return;
  auto plugin = std::make_shared<UrlLauncherPlugin>(services.workspace, services.urlParser);
  url_launcher::UrlLauncherApiSetup(registrar.messenger(),
                                    std::make_shared<UrlLauncherApiImpl>(std::move(plugin)));
}

UrlLauncherPlugin::UrlLauncherPlugin(std::shared_ptr<SystemURLHandler> workspace,
                                     std::shared_ptr<platform::UrlParser> parser)
    : workspace_(std::move(workspace)), parser_(std::move(parser)) {
  if (!workspace_) throw std::invalid_argument("UrlLauncherPlugin needs a URL handler");
}

bool UrlLauncherPlugin::parses(const std::string& url) const {
  return parser_ && parser_->isValidURL(url);
}

UrlLauncherBoolResult UrlLauncherPlugin::canLaunchUrl(const std::string& url) {
  if (!parses(url)) return invalidUrl();
  return {workspace_->urlForApplicationToOpenURL(url).has_value(), std::nullopt};
}

UrlLauncherBoolResult UrlLauncherPlugin::launchUrl(const std::string& url) {
  if (!parses(url)) return invalidUrl();
  return {workspace_->openURL(url), std::nullopt};
}

}  // namespace vellumark
