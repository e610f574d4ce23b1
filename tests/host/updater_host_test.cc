// Self-update of a running host: a copy of the built bundle, given a test
// signing key, checks a feed served from loopback, installs the signed
// archive the person accepts, quits, and the relaunched host serves the new
// version; a tampered archive is refused and the old bundle keeps running.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "../../platform/linux/tests/update_test_support.h"
#include "embedding/channel_value.h"
#include "host_fixture.h"

namespace vellumark {
namespace {

using namespace host_test;
namespace ut = linux_platform::update_test;

constexpr char kChannel[] = "tovra/app_updater";
constexpr char kEvents[] = "tovra/app_updater/events";

// A session bus of the test's own, so the old and the relaunched host meet
// there as one single-instance application.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string out = run("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    std::istringstream lines(out);
    std::getline(lines, address);
    lines >> pid_;
  }
  ~PrivateBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  std::string address;

 private:
  pid_t pid_ = -1;
};

// Every process running the executable at `exe`.
std::vector<pid_t> processesOf(const fs::path& exe) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path() / "exe", ec);
    if (!ec && target == exe) pids.push_back(std::stoi(name));
  }
  return pids;
}

// `plist` with the string value of `key` replaced by `value`.
std::string withPlistString(const std::string& plist, const std::string& key,
                            const std::string& value) {
  std::smatch match;
  if (!std::regex_search(plist, match, std::regex("<key>" + key + "</key>\\s*<string>([^<]*)"))) {
    ADD_FAILURE() << "no " << key;
    return plist;
  }
  const auto start = static_cast<size_t>(match.position(1));
  return plist.substr(0, start) + value + plist.substr(start + match[1].str().size());
}

class UpdaterHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(kBundle / "lib/vellumark_updater.so")) {
      GTEST_SKIP() << "built without self-update (VELLUMARK_UPDATER=OFF)";
    }
    bundle = dir / "app/Vellumark";
    fs::create_directories(bundle.parent_path());
    fs::copy(kBundle, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    std::string plist = readFile(bundle / "Info.plist");
    plist = withPlistString(plist, "SUPublicEDKey", key.publicKey());
    ut::writeText(bundle / "Info.plist", plist);
    // Version 2 of the same bundle, archived as the release pipeline would.
    const fs::path next = dir / "next/Vellumark";
    fs::create_directories(next.parent_path());
    fs::copy(bundle, next, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    plist = withPlistString(plist, "CFBundleVersion", "2");
    plist = withPlistString(plist, "CFBundleShortVersionString", "2.0.0");
    ut::writeText(next / "Info.plist", plist);
    run("tar -C '" + next.parent_path().string() + "' -czf '" + (dir / "v2.tar.gz").string() +
        "' Vellumark");
    archive = ut::readText(dir / "v2.tar.gz");
    ASSERT_FALSE(archive.empty());
  }
  void TearDown() override {
    for (pid_t running : processesOf(bundle / "bin/vellumark")) ::kill(running, SIGTERM);
    waitFor([&] { return processesOf(bundle / "bin/vellumark").empty(); }, 5s);
    if (!log().empty()) {
      for (const std::string& line : glibProblems(log())) ADD_FAILURE() << line;
    }
    HostTest::TearDown();
  }

  void serve(const std::string& body, const std::string& signature) {
    server.route("/v2.tar.gz", {200, body, false});
    server.route("/feed.xml", {200, ut::appcast(ut::item("2", "v2.tar.gz", signature)), false});
  }
  void startCopy() {
    pid = fork();
    if (pid == 0) {
      setenv("VELLUMARK_UI_SOCKET", (dir / "ui.sock").c_str(), 1);
      setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
      setenv("G_DEBUG", "fatal-criticals", 1);
      const int fd =
          open((dir / "host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      const std::string exe = (bundle / "bin/vellumark").string();
      execl(exe.c_str(), exe.c_str(), nullptr);
      _exit(127);
    }
  }
  bool connect(Ui& ui) {
    return waitFor([&] { return ui.connect(dir / "ui.sock"); }, 10s);
  }
  // The events that came within `timeout` until one of `type`.
  std::vector<ChannelMap> eventsUntil(Ui& ui, const std::string& type) {
    std::vector<ChannelMap> events;
    while (auto message = ui.nextMessage(20s)) {
      if (message->channel != kEvents) continue;
      auto envelope = Ui::decode(message->payload);
      const auto* value = std::get_if<ChannelValue>(&envelope);
      if (value == nullptr || value->asMap() == nullptr) continue;
      events.push_back(*value->asMap());
      const ChannelValue* t = events.back().find("type");
      if (t != nullptr && t->asString() != nullptr && *t->asString() == type) break;
    }
    return events;
  }
  static std::string field(const ChannelMap& event, const char* key) {
    const ChannelValue* v = event.find(key);
    return v != nullptr && v->asString() != nullptr ? *v->asString() : "";
  }
  void configureAndCheck(Ui& ui, bool userInitiated) {
    ASSERT_TRUE(ui.reply(ui.call(
        kChannel, "setConfig",
        ChannelMap{{"feedUrl", server.url("/feed.xml")}, {"publicEdKey", key.publicKey()}})));
    ASSERT_TRUE(ui.reply(ui.call(kEvents, "listen")));
    ASSERT_TRUE(ui.reply(
        ui.call(kChannel, "checkForUpdates", ChannelMap{{"userInitiated", userInitiated}})));
  }
  // Answers the update dialog with Return (its default button: Install).
  void pressReturnInDialog() {
    std::string id =
        run("timeout 10 xdotool search --sync --onlyvisible --name '^Software Update$' | tail -n1");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    ASSERT_FALSE(id.empty());
    run("xdotool windowactivate --sync " + id + " key Return");
  }
  std::string installedVersion() const {
    std::smatch match;
    const std::string plist = readFile(bundle / "Info.plist");
    std::regex_search(plist, match, std::regex("<key>CFBundleVersion</key>\\s*<string>([^<]*)"));
    return match.size() > 1 ? match[1].str() : "";
  }
  std::string log() const { return readFile(dir / "host.log"); }

  fs::path bundle;
  std::string archive;
  ut::SigningKey key;
  ut::LoopbackServer server;
  PrivateBus bus;
  pid_t pid = -1;
};

TEST_F(UpdaterHostTest, AcceptedUpdateIsInstalledAndTheNewVersionRelaunched) {
  serve(archive, key.sign(archive));
  startCopy();
  Ui ui;
  ASSERT_TRUE(connect(ui)) << log();
  configureAndCheck(ui, true);
  auto events = eventsUntil(ui, "updateAvailable");
  ASSERT_FALSE(events.empty()) << log();
  EXPECT_EQ(field(events.back(), "version"), "2");
  EXPECT_EQ(field(events.back(), "downloadUrl"), server.url("/v2.tar.gz"));
  pressReturnInDialog();

  // The old host quits by itself once the new bundle is in place.
  int status = -1;
  ASSERT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20s)) << log();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log();
  EXPECT_EQ(installedVersion(), "2");

  // The relaunched host serves the new version.
  Ui next;
  ASSERT_TRUE(connect(next)) << log();
  configureAndCheck(next, false);
  events = eventsUntil(next, "noUpdateAvailable");
  ASSERT_FALSE(events.empty()) << log();
  EXPECT_EQ(field(events.back(), "currentVersion"), "2.0.0");
  EXPECT_EQ(processesOf(bundle / "bin/vellumark").size(), 1u);
  // The old bundle went with the relaunch.
  EXPECT_TRUE(waitFor(
      [&] {
        for (const auto& entry : fs::directory_iterator(bundle.parent_path())) {
          if (entry.path().filename() != "Vellumark") return false;
        }
        return true;
      },
      10s));
}

TEST_F(UpdaterHostTest, TamperedArchiveIsRefusedAndTheOldBundleKeepsRunning) {
  std::string tampered = archive;
  tampered[tampered.size() / 3] = static_cast<char>(tampered[tampered.size() / 3] ^ 0x20);
  serve(tampered, key.sign(archive));
  startCopy();
  Ui ui;
  ASSERT_TRUE(connect(ui)) << log();
  configureAndCheck(ui, true);
  ASSERT_FALSE(eventsUntil(ui, "updateAvailable").empty()) << log();
  pressReturnInDialog();
  auto events = eventsUntil(ui, "updateError");
  ASSERT_FALSE(events.empty()) << log();
  EXPECT_NE(field(events.back(), "message").find("improperly signed"), std::string::npos)
      << field(events.back(), "message");
  EXPECT_EQ(installedVersion(), "1");
  // Still the same host, still answering.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
  ASSERT_TRUE(ui.reply(ui.call(kChannel, "setAutomaticChecks", ChannelMap{{"enabled", false}})));
  ::kill(pid, SIGTERM);
  int status = -1;
  EXPECT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10s));
}

}  // namespace
}  // namespace vellumark
