// Links through the Linux request source and GLib's URI parser: a file to
// open is no link and stays with the application delegate; a link reaches
// the plugin exactly as sent; what GLib rejects is dropped.
#include <gtest/gtest.h>

#include "app_links/app_links_plugin.h"
#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_linux/links.h"
#include "platform_linux/workspace.h"

namespace vellumark {
namespace {

TEST(LinksLinuxTest, RequestsReachThePluginOnceLaunchIsAboutToFinish) {
  auto links = linux_platform::createLinkEvents();
  platform::Services services;
  services.incomingLinks = links;
  services.urlParser = linux_platform::createUrlParser();
  EngineMessenger messenger;
  PluginRegistry registry(messenger, nullptr, services);
  AppLinksMacosPlugin::registerWithRegistrar(registry.registrarForPlugin("AppLinksMacosPlugin"));
  testing::TestUi ui(messenger);
  auto latest = [&] {
    auto response = ui.call("corvane.app_links/messages", "getLatestLink");
    return response ? std::get<ChannelValue>(*response) : ChannelValue("<no reply>");
  };

  EXPECT_FALSE(links->dispatchGetURL("vellumark://before"));
  registry.publishWillFinishLaunching();

  EXPECT_FALSE(links->dispatchGetURL("file:///home/ann/contract.pdf"));
  EXPECT_FALSE(links->dispatchGetURL("FILE:///home/ann/contract.pdf"));
  EXPECT_TRUE(links->dispatchGetURL("vellumark://Sign/%41?doc=1#p"));
  EXPECT_EQ(latest(), ChannelValue("vellumark://Sign/%41?doc=1#p"));
  // Taken by the handler, but no URL for GLib: nothing changes.
  EXPECT_TRUE(links->dispatchGetURL("vellumark://x/%zz"));
  EXPECT_TRUE(links->dispatchGetURL("://nothing"));
  EXPECT_EQ(latest(), ChannelValue("vellumark://Sign/%41?doc=1#p"));
}

}  // namespace
}  // namespace vellumark
