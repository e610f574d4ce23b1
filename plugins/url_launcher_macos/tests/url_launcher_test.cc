// The two launcher operations through the launcher's codec, on a scripted
// workspace and URL parser.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "messages.h"
#include "platform_fakes/fake_workspace.h"
#include "url_launcher_macos/url_launcher_plugin.h"

namespace vellumark {
namespace url_launcher {
// Readable failures.
void PrintTo(const UrlLauncherBoolResult& result, std::ostream* os) {
  *os << "{value: " << result.value() << ", error: " << (result.error() ? "invalidUrl" : "null")
      << "}";
}
}  // namespace url_launcher

namespace {

using platform::fakes::FakeUrlParser;
using platform::fakes::FakeWorkspace;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using url_launcher::MessagesPigeonCodec;
using url_launcher::UrlLauncherBoolResult;
using url_launcher::UrlLauncherError;

constexpr char kPrefix[] = "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.";

class UrlLauncherTest : public ::testing::Test {
 protected:
  UrlLauncherTest() {
    workspace->applications["https"] = "/usr/share/applications/browser.desktop";
    platform::Services services;
    services.workspace = workspace;
    services.urlParser = parser;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    UrlLauncherPlugin::registerWithRegistrar(registry->registrarForPlugin("UrlLauncherPlugin"));
  }

  // The result record of one operation's success reply.
  UrlLauncherBoolResult call(const std::string& operation, const std::string& url) {
    auto reply =
        ui.send(kPrefix + operation, ChannelList{url}, *MessagesPigeonCodec::sharedInstance());
    const ChannelValue* value = reply && *reply ? &**reply : nullptr;
    const ChannelList* list = value ? value->asList() : nullptr;
    EXPECT_TRUE(list && list->size() == 1) << operation << " " << url;
    const auto* custom =
        list && list->size() == 1 ? (*list)[0].getIf<ChannelValue::Custom>() : nullptr;
    const auto* result =
        custom ? dynamic_cast<const UrlLauncherBoolResult*>(custom->get()) : nullptr;
    EXPECT_NE(result, nullptr) << operation << " " << url;
    return result ? *result : UrlLauncherBoolResult(true, UrlLauncherError::invalidUrl);
  }

  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  std::shared_ptr<FakeUrlParser> parser = std::make_shared<FakeUrlParser>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  testing::TestUi ui{messenger};
};

TEST_F(UrlLauncherTest, CanLaunchAsksOnlyWhichApplicationWouldOpen) {
  EXPECT_EQ(call("canLaunchUrl", "https://example.com/a?b=c"), UrlLauncherBoolResult(true, {}));
  // Parses, but no application claims the scheme: false, and no error.
  EXPECT_EQ(call("canLaunchUrl", "nowhere:thing"), UrlLauncherBoolResult(false, {}));
  EXPECT_THAT(workspace->lookedUp, ElementsAre("https://example.com/a?b=c", "nowhere:thing"));
  EXPECT_THAT(workspace->opened, IsEmpty());
}

TEST_F(UrlLauncherTest, LaunchPassesTheHandlersAnswerAndTheUrlAsGiven) {
  EXPECT_EQ(call("launchUrl", "HTTPS://Example.COM/a%20b"), UrlLauncherBoolResult(true, {}));
  workspace->openResult = false;
  EXPECT_EQ(call("launchUrl", "mailto:ann@example.com"), UrlLauncherBoolResult(false, {}));
  EXPECT_THAT(workspace->opened,
              ElementsAre("HTTPS://Example.COM/a%20b", "mailto:ann@example.com"));
  EXPECT_THAT(workspace->lookedUp, IsEmpty());
}

TEST_F(UrlLauncherTest, UnparsableUrlsAreInvalidAndNeverReachTheHandler) {
  parser->rejected.insert("https://bad/%zz");
  for (const char* url : {"", "not a url", "example.com", "https://bad/%zz"}) {
    const UrlLauncherBoolResult invalid(false, UrlLauncherError::invalidUrl);
    EXPECT_EQ(call("canLaunchUrl", url), invalid) << url;
    EXPECT_EQ(call("launchUrl", url), invalid) << url;
  }
  EXPECT_THAT(workspace->lookedUp, IsEmpty());
  EXPECT_THAT(workspace->opened, IsEmpty());
}

}  // namespace
}  // namespace vellumark
