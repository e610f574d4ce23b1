// The update framework end to end on a temporary bundle: checks against
// loopback and file feeds, scheduled checks in virtual time, and installing
// signed archives (or refusing them, leaving the bundle as it was).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../src/update_install.h"
#include "../src/update_signature.h"
#include "platform_linux/bundle.h"
#include "platform_linux/update_framework.h"
#include "update_test_support.h"

namespace vellumark::linux_platform {
namespace {

using namespace update_test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
namespace err = platform::updater_error;

// Records what a person would see and answers the prompt as told.
class ScriptedDriver : public UpdateUserDriver {
 public:
  void showCheckingForUpdates(std::function<void()> cancel) override {
    shown.push_back("checking");
    cancelShown = std::move(cancel);
  }
  void showUpdateFound(const platform::AppcastItem& item,
                       std::function<void(bool)> reply) override {
    shown.push_back("found " + item.displayVersionString);
    reply(install);
  }
  void showUpToDate(const std::string& version) override {
    shown.push_back("up to date " + version);
  }
  void showDownloadProgress(uint64_t, uint64_t, std::function<void()>) override {
    if (shown.empty() || shown.back() != "downloading") shown.push_back("downloading");
  }
  void showInstalling() override { shown.push_back("installing"); }
  void showError(const std::string& message) override { shown.push_back("error " + message); }
  void dismiss() override {}

  bool install = true;
  std::vector<std::string> shown;
  std::function<void()> cancelShown;
};

class RecordingDelegate : public platform::UpdaterDelegate {
 public:
  std::optional<std::string> feedURLStringForUpdater(platform::Updater&) override { return feed; }
  void updaterDidFindValidUpdate(platform::Updater&, const platform::AppcastItem& item) override {
    calls.push_back("found " + item.versionString + " " + item.fileURL.value_or("-"));
  }
  void updaterDidNotFindUpdate(platform::Updater&) override { calls.push_back("none"); }
  void updaterWillInstallUpdate(platform::Updater&, const platform::AppcastItem& item) override {
    calls.push_back("will install " + item.versionString);
  }
  void updaterDidAbortWithError(platform::Updater&, const platform::UpdaterError& error) override {
    EXPECT_EQ(error.domain, "SUSparkleErrorDomain");
    calls.push_back("abort " + std::to_string(error.code));
    lastError = error.localizedDescription;
  }
  std::string feed;
  std::vector<std::string> calls;
  std::string lastError;
};

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundlePath = dir.path / "Vellumark";
    makeBundle(bundlePath, "5", key.publicKey());
    // Stands in for lib/vellumark_relaunch: notes its arguments and what it was told.
    helper = dir.path / "helper.sh";
    writeText(helper, "#!/bin/sh\necho \"$@\" > '" + (dir.path / "helper.args").string() +
                          "'\nhead -c 2 > '" + (dir.path / "helper.told").string() + "'\n");
    fs::permissions(helper, fs::perms::owner_all);
  }

  platform::Updater& start(bool automatic = false) {
    UpdateFrameworkOptions options;
    options.bundle = openBundle(bundlePath.string());
    options.mainQueue = queue;
    options.userDriver = driver;
    options.systemVersion = "6.1";
    options.stallTimeout = 1s;
    options.feedTimeout = 5s;
    options.relaunchHelper = helper.string();
    options.busName = "com.vellumark.UpdaterTest";
    options.quit = [this] { ++quits; };
    framework = createUpdateFramework(options);
    controller = framework->makeStandardUpdaterController(true, delegate);
    EXPECT_NE(controller->updater(), nullptr);
    if (automatic) controller->updater()->setAutomaticallyChecksForUpdates(true);
    return *controller->updater();
  }
  void runUntilCalls(size_t count) {
    queue->runUntil([&] { return delegate->calls.size() >= count; });
  }
  // Serves a feed offering version 6 of `archive`, signed with `signature`.
  void offer(const std::string& archive, const std::string& signature) {
    server.route("/v6.tar.gz", {200, archive, false});
    server.route("/feed.xml", {200, appcast(item("6", "v6.tar.gz", signature)), false});
    delegate->feed = server.url("/feed.xml");
  }
  std::string installedVersion() const {
    auto bundle = openBundle(bundlePath.string());
    auto value = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    return value && value->asString() ? *value->asString() : "";
  }
  // No staging folder is left beside the bundle.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(".Vellumark.update-", 0) == 0) names.push_back(name);
    }
    return names;
  }

  TempDir dir;
  fs::path bundlePath;
  fs::path helper;
  SigningKey key;
  LoopbackServer server;
  std::shared_ptr<WaitableQueue> queue = std::make_shared<WaitableQueue>();
  std::shared_ptr<ScriptedDriver> driver = std::make_shared<ScriptedDriver>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<platform::UpdateFramework> framework;
  std::unique_ptr<platform::StandardUpdaterController> controller;
  int quits = 0;
};

TEST_F(UpdaterTest, BackgroundChecksReportToTheDelegateOnly) {
  server.route("/newer",
               {200, appcast(item("4", "a") + item("6", "https://u.example/6.tgz")), false});
  server.route("/equal", {200, appcast(item("5", "a")), false});
  server.route("/bad", {200, "<rss><channel><item>", false});
  auto& updater = start();

  delegate->feed = server.url("/newer");
  updater.checkForUpdatesInBackground();
  runUntilCalls(1);
  delegate->feed = server.url("/equal");
  updater.checkForUpdatesInBackground();
  runUntilCalls(3);
  delegate->feed = server.url("/bad");
  updater.checkForUpdatesInBackground();
  runUntilCalls(4);
  delegate->feed = server.url("/missing");
  updater.checkForUpdatesInBackground();
  runUntilCalls(5);
  EXPECT_THAT(delegate->calls, ElementsAre("found 6 https://u.example/6.tgz", "none", "abort 1001",
                                           "abort 1000", "abort 1002"));
  EXPECT_THAT(delegate->lastError, HasSubstr("HTTP 404"));
  EXPECT_THAT(driver->shown, IsEmpty());
}

TEST_F(UpdaterTest, UserChecksShowTheirOutcomeAndFileFeedsWork) {
  writeText(dir.path / "old.xml", appcast(item("3", "x")));
  auto& updater = start();
  delegate->feed = "file://" + (dir.path / "old.xml").string();
  updater.checkForUpdates();
  runUntilCalls(2);
  delegate->feed = server.url("/hang-free-404");
  updater.checkForUpdates();
  runUntilCalls(3);
  EXPECT_THAT(delegate->calls, ElementsAre("none", "abort 1001", "abort 1002"));
  ASSERT_EQ(driver->shown.size(), 4u);
  EXPECT_EQ(driver->shown[1], "up to date 5.0");
  EXPECT_THAT(driver->shown[3],
              HasSubstr("error An error occurred in retrieving update information"));
}

TEST_F(UpdaterTest, ScheduledChecksRunOncePerIntervalWhileSwitchedOn) {
  server.route("/feed.xml", {200, appcast(item("5", "x")), false});
  delegate->feed = server.url("/feed.xml");
  auto& updater = start(true);
  updater.setUpdateCheckInterval(60);
  EXPECT_EQ(queue->advance(59s), 0u);
  queue->advance(1s);
  runUntilCalls(2);
  queue->advance(60s);
  runUntilCalls(4);
  EXPECT_EQ(server.requests(), 2);

  updater.setAutomaticallyChecksForUpdates(false);
  queue->advance(600s);
  queue->runUntilIdle();
  EXPECT_EQ(server.requests(), 2);
  // Nonsense intervals are ignored; tiny ones are raised to a second.
  updater.setUpdateCheckInterval(-5);
  EXPECT_EQ(updater.updateCheckInterval(), 60);
  updater.setUpdateCheckInterval(0.001);
  EXPECT_EQ(updater.updateCheckInterval(), 1);
}

TEST_F(UpdaterTest, SignedArchiveIsInstalledAndTheHostRelaunched) {
  const std::string archive = bundleArchive("6", key.publicKey());
  offer(archive, key.sign(archive));
  auto& updater = start();
  updater.checkForUpdates();
  queue->runUntil([&] { return quits > 0 || delegate->calls.size() >= 2; });
  EXPECT_THAT(delegate->calls,
              ElementsAre("found 6 " + server.url("/v6.tar.gz"), "will install 6"));
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(installedVersion(), "6");
  EXPECT_EQ(readText(bundlePath / "bin/vellumark"), "#!/bin/sh\necho 6\n");
  EXPECT_THAT(driver->shown, ElementsAre("checking", "found 6.0", "downloading", "installing"));

  // The helper got the old bundle's folder to remove and the executable to run.
  const std::vector<std::string> staging = leftovers();
  ASSERT_EQ(staging.size(), 1u);
  const fs::path args = dir.path / "helper.args";
  // The helper runs on its own; wait (bounded) for what it was told.
  for (int i = 0; i < 1000 && readText(dir.path / "helper.told") != "go"; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(readText(dir.path / "helper.told"), "go");
  EXPECT_EQ(readText(args), "com.vellumark.UpdaterTest " + (dir.path / staging[0]).string() + " " +
                                (bundlePath / "bin/vellumark").string() + "\n");
  // The old bundle sits in the staging folder.
  EXPECT_THAT(readText(dir.path / staging[0] / "unpacked/Vellumark/Info.plist"),
              HasSubstr("<string>5</string>"));
}

TEST_F(UpdaterTest, RefusedArchivesLeaveTheBundleUntouched) {
  const std::string archive = bundleArchive("6", key.publicKey());
  SigningKey otherKey;
  std::string tampered = archive;
  tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 1);
  const std::string older = bundleArchive("4", key.publicKey());
  const std::string evil = makeArchive({{"Vellumark/Info.plist", "x"}, {"../outside", "x"}});
  struct Row {
    const char* name;
    std::string archive;
    std::string signature;
    int64_t code;
    const char* message;
  };
  const Row rows[] = {
      {"tampered", tampered, key.sign(archive), err::kSignature, "does not match"},
      {"wrong key", archive, otherKey.sign(archive), err::kSignature, "does not match"},
      {"unsigned", archive, "", err::kSignature, "not signed"},
      {"garbage signature", archive, "%%%", err::kSignature, "not a base64"},
      {"older inside", older, key.sign(older), err::kDowngrade, "not newer"},
      {"escaping", evil, key.sign(evil), err::kUnarchiving, "outside"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    delegate->calls.clear();
    driver->shown.clear();
    offer(row.archive, row.signature);
    auto& updater = start();
    updater.checkForUpdates();
    runUntilCalls(2);
    EXPECT_EQ(delegate->calls.back(), "abort " + std::to_string(row.code));
    EXPECT_THAT(delegate->lastError, HasSubstr(row.message));
    EXPECT_THAT(driver->shown.back(), HasSubstr("error "));
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(installedVersion(), "5");
    EXPECT_THAT(leftovers(), IsEmpty());
    EXPECT_FALSE(fs::exists(dir.path / "outside"));
  }
}

TEST_F(UpdaterTest, LaterInstallsNothingAndNoKeyRefusesBeforeDownloading) {
  const std::string archive = bundleArchive("6", key.publicKey());
  offer(archive, key.sign(archive));
  driver->install = false;
  auto& updater = start();
  updater.checkForUpdates();
  runUntilCalls(1);
  queue->runUntilIdle();
  EXPECT_EQ(server.requests(), 1);  // the feed only
  EXPECT_EQ(installedVersion(), "5");

  makeBundle(bundlePath, "5", "");
  driver->install = true;
  delegate->calls.clear();
  auto& keyless = start();
  keyless.checkForUpdates();
  runUntilCalls(2);
  EXPECT_EQ(delegate->calls.back(), "abort 3001");
  EXPECT_THAT(delegate->lastError, HasSubstr("SUPublicEDKey"));
  EXPECT_EQ(server.requests(), 2);
}

TEST(UpdateInstallTest, SwapExchangesTheFoldersAndBase64IsStrict) {
  TempDir dir;
  writeText(dir.path / "a/mark", "a");
  writeText(dir.path / "b/mark", "b");
  std::string error;
  ASSERT_TRUE(update::swapBundles((dir.path / "a").string(), (dir.path / "b").string(), &error))
      << error;
  EXPECT_EQ(readText(dir.path / "a/mark"), "b");
  EXPECT_EQ(readText(dir.path / "b/mark"), "a");
  EXPECT_FALSE(
      update::swapBundles((dir.path / "a").string(), (dir.path / "none").string(), &error));
  EXPECT_EQ(readText(dir.path / "a/mark"), "b");

  EXPECT_EQ(update::decodeBase64("aGk="), (std::vector<unsigned char>{'h', 'i'}));
  EXPECT_EQ(update::decodeBase64("aG\nk="), (std::vector<unsigned char>{'h', 'i'}));
  for (const char* bad : {"aGk", "a=Gk", "aGk=aGk=", "****", ""}) {
    EXPECT_FALSE(update::decodeBase64(bad)) << bad;
  }
}

TEST(UpdateInstallTest, UnpackingRefusesEntriesLeavingTheFolder) {
  TempDir dir;
  const std::vector<std::vector<std::pair<std::string, std::string>>> hostile = {
      {{"/etc/evil", "x"}},
      {{"a/../../evil", "x"}},
      {{"link", "->../.."}, {"link/evil", "x"}},
      {{"abs", "->/etc"}},
  };
  for (const auto& entries : hostile) {
    const fs::path into = dir.path / ("into" + std::to_string(&entries - hostile.data()));
    fs::create_directories(into);
    writeText(dir.path / "a.tgz", makeArchive(entries));
    std::string error;
    EXPECT_FALSE(update::unpackArchive((dir.path / "a.tgz").string(), into.string(), &error))
        << entries.front().first;
    EXPECT_FALSE(fs::exists(dir.path / "evil"));
  }
  const fs::path into = dir.path / "ok";
  fs::create_directories(into);
  writeText(dir.path / "b.tgz",
            makeArchive({{"./B/", ""}, {"B/file", "content"}, {"B/same", "->file"}}));
  std::string error;
  EXPECT_TRUE(update::unpackArchive((dir.path / "b.tgz").string(), into.string(), &error)) << error;
  EXPECT_EQ(readText(into / "B/same"), "content");
}

}  // namespace
}  // namespace vellumark::linux_platform
