// Incoming links and the URL launcher in the built host: links opened with
// `gio open` through the bundle's .desktop file in a private XDG data folder
// reach the running host (single instance on its session bus) or start it,
// and the launcher asks GIO's handlers of that folder.
#include <gtest/gtest.h>

#include <regex>

#include "embedding/bridge_client.h"
#include "host_fixture.h"

namespace vellumark::host_test {
namespace {

using bridge::BridgeClient;

constexpr char kMessages[] = "corvane.app_links/messages";
constexpr char kEvents[] = "corvane.app_links/events";
constexpr char kLauncher[] = "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.";

// The launcher's replies, as bytes: [UrlLauncherBoolResult(value, error)].
const Bytes kCanTrue{0x0c, 0x01, 0x82, 0x0c, 0x02, 0x01, 0x00};
const Bytes kCanFalse{0x0c, 0x01, 0x82, 0x0c, 0x02, 0x02, 0x00};
const Bytes kInvalidUrl{0x0c, 0x01, 0x82, 0x0c, 0x02, 0x02, 0x81, 0x03, 0x00, 0x00, 0x00, 0x00};

class LinksHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const fs::path apps = dir / "data/applications";
    fs::create_directories(apps);
    fs::create_directories(dir / "config");
    // The bundle's own entry, run from the bundle.
    std::string entry = readFile(kBundle / "Resources/vellumark.desktop");
    ASSERT_NE(entry.find("x-scheme-handler/vellumark"), std::string::npos);
    entry = std::regex_replace(entry, std::regex("^Exec=[^ \n]*", std::regex::multiline),
                               "Exec=" + (kBundle / "bin/vellumark").string());
    std::ofstream(apps / "vellumark.desktop") << entry;
    // A handler of "vmtest:" that records the URL it was given.
    const fs::path script = dir / "record.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << (dir / "opened.tmp").string()
                          << "\" && mv \"" << (dir / "opened.tmp").string() << "\" \""
                          << recorded().string() << "\"\n";
    fs::permissions(script, fs::perms::owner_all);
    std::ofstream(apps / "recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Recorder\nNoDisplay=true\nExec="
        << script.string() << " %u\nMimeType=x-scheme-handler/vmtest;\n";
    ASSERT_EQ(std::system(("update-desktop-database '" + apps.string() + "'").c_str()), 0);
  }

  fs::path recorded() const { return dir / "opened.txt"; }

  // A host using the private XDG folders; `link`, when given, is what it
  // is started with, as a desktop would start it for a link.
  Host& startLinkHost(const std::string& link = {}) {
    Host& h = makeHost();
    h.setEnv("XDG_DATA_HOME", (dir / "data").string());
    h.setEnv("XDG_CONFIG_HOME", (dir / "config").string());
    if (!link.empty()) {
      // The fixture runs `dbus-run-session -- HOST`; this stand-in found
      // first on PATH adds the link as the host's argument.
      const fs::path wrapper = dir / "bin/dbus-run-session";
      fs::create_directories(wrapper.parent_path());
      std::ofstream(wrapper) << "#!/bin/sh\nexec /usr/bin/dbus-run-session \"$@\" '" << link
                             << "'\n";
      fs::permissions(wrapper, fs::perms::owner_all);
      h.setEnv("PATH", wrapper.parent_path().string() + ":" + std::getenv("PATH"));
    }
    h.start();
    return h;
  }

  // Opens `link` with gio as a desktop would, on the host's session bus.
  std::string gioOpen(const std::string& link) {
    const std::string environ = readFile("/proc/" + std::to_string(host->hostPid()) + "/environ");
    std::string bus;
    for (size_t at = 0; at < environ.size();) {
      const size_t end = environ.find('\0', at);
      const std::string var = environ.substr(at, end - at);
      if (var.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) bus = var.substr(25);
      at = end == std::string::npos ? environ.size() : end + 1;
    }
    EXPECT_FALSE(bus.empty());
    return run("env DBUS_SESSION_BUS_ADDRESS='" + bus + "' XDG_DATA_HOME='" +
               (dir / "data").string() + "' XDG_CONFIG_HOME='" + (dir / "config").string() +
               "' gio open '" + link + "' 2>&1");
  }

  static ChannelValue callValue(BridgeClient& client, const std::string& channel,
                                const std::string& method) {
    const auto& codec = *StandardMethodCodec::sharedInstance();
    auto envelope =
        codec.decodeEnvelope(client.call(channel, codec.encodeMethodCall({method, {}})));
    auto* value = std::get_if<ChannelValue>(&envelope);
    EXPECT_NE(value, nullptr) << channel << " " << method;
    return value ? *value : ChannelValue("<error>");
  }

  static Bytes launcher(BridgeClient& client, const std::string& operation,
                        const std::string& url) {
    return client.call(kLauncher + operation,
                       StandardMessageCodec::sharedInstance()->encodeMessage(ChannelList{url}));
  }
};

TEST_F(LinksHostTest, LinksOpenedWhileRunningReachTheStreamAndTheQueries) {
  startLinkHost();
  ASSERT_TRUE(host->waitForSocket());
  BridgeClient client;
  client.connect(host->socket().string());
  EXPECT_TRUE(callValue(client, kMessages, "getInitialLink").isNull());
  EXPECT_TRUE(callValue(client, kEvents, "listen").isNull());

  const std::string link = "vellumark://sign/doc?id=42&name=A%20B#page=3";
  EXPECT_EQ(gioOpen(link), "");
  auto event = client.nextHostMessage(std::chrono::seconds(20));
  ASSERT_TRUE(event.has_value()) << "no link event; host log:\n" << host->log();
  EXPECT_EQ(event->channel, kEvents);
  EXPECT_EQ(StandardMethodCodec::sharedInstance()->decodeEnvelope(event->payload),
            MethodEnvelope(ChannelValue(link)));
  EXPECT_EQ(callValue(client, kMessages, "getLatestLink"), ChannelValue(link));
  EXPECT_EQ(callValue(client, kMessages, "getInitialLink"), ChannelValue(link));
  EXPECT_TRUE(host->running());
}

TEST_F(LinksHostTest, TheLinkThatStartsTheHostIsTheInitialLink) {
  const std::string link = "vellumark://open?file=contract.pdf";
  startLinkHost(link);
  ASSERT_TRUE(host->waitForSocket());
  BridgeClient client;
  client.connect(host->socket().string());
  EXPECT_EQ(callValue(client, kMessages, "getInitialLink"), ChannelValue(link));
  EXPECT_EQ(callValue(client, kMessages, "getLatestLink"), ChannelValue(link));
  // The first listen pushes it, once.
  EXPECT_TRUE(callValue(client, kEvents, "listen").isNull());
  auto event = client.nextHostMessage(std::chrono::seconds(10));
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(StandardMethodCodec::sharedInstance()->decodeEnvelope(event->payload),
            MethodEnvelope(ChannelValue(link)));
}

TEST_F(LinksHostTest, TheLauncherAsksTheDesktopsHandlers) {
  startLinkHost();
  ASSERT_TRUE(host->waitForSocket());
  BridgeClient client;
  client.connect(host->socket().string());
  EXPECT_EQ(launcher(client, "canLaunchUrl", "vmtest://anything"), kCanTrue);
  EXPECT_EQ(launcher(client, "canLaunchUrl", "vmtest-unclaimed://anything"), kCanFalse);
  // The host claims its own scheme through its .desktop file.
  EXPECT_EQ(launcher(client, "canLaunchUrl", "vellumark://x"), kCanTrue);
  EXPECT_EQ(launcher(client, "canLaunchUrl", "://no scheme"), kInvalidUrl);
  EXPECT_EQ(launcher(client, "launchUrl", "vmtest://bad/%zz"), kInvalidUrl);
  EXPECT_FALSE(fs::exists(recorded()));

  const std::string url = "vmtest://open/doc?id=7#top";
  EXPECT_EQ(launcher(client, "launchUrl", url), kCanTrue);
  ASSERT_TRUE(waitFor([&] { return fs::exists(recorded()); }, 20s));
  EXPECT_EQ(readFile(recorded()), url);
}

}  // namespace
}  // namespace vellumark::host_test
