// The package map through the real codec, on a fixture bundle and scripted
// environment and file dates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "package_info_plus/package_info_plus_plugin.h"
#include "platform_fakes/fake_bundle.h"
#include "platform_fakes/fake_device.h"

namespace vellumark {
namespace {

using platform::Date;
using platform::InfoValue;
using platform::fakes::FakeBundle;
using platform::fakes::FakePackageFacts;
using ::testing::ElementsAre;

constexpr char kChannel[] = "kelvarrow/package_info";
constexpr char kBundlePath[] = "/opt/Vellumark";
constexpr char kDocuments[] = "/home/ann/Documents";

class PackageInfoTest : public ::testing::Test {
 protected:
  PackageInfoTest() {
    bundle->info = {{"CFBundleIdentifier", {std::string("com.vellumark.desktop")}},
                    {"CFBundleName", {std::string("Vellumark")}},
                    {"CFBundleDisplayName", {std::string("Vellumark Signer")}},
                    {"CFBundleShortVersionString", {std::string("1.4.0")}},
                    {"CFBundleVersion", {std::string("87")}}};
    facts->modified[kBundlePath] = Date{1'700'000'000.25};
    facts->documents = {"/home/ann/Shared", kDocuments};
    facts->created[kDocuments] = Date{1'600'000'000.5};
    platform::Services services;
    services.bundle = bundle;
    services.packageFacts = facts;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    FPPPackageInfoPlusPlugin::registerWithRegistrar(
        registry->registrarForPlugin("FPPPackageInfoPlusPlugin"));
    ui = std::make_unique<testing::TestUi>(messenger);
  }

  ChannelMap all() {
    auto response = ui->call(kChannel, "getAll");
    EXPECT_TRUE(response.has_value());
    const auto* value = response ? std::get_if<ChannelValue>(&*response) : nullptr;
    const ChannelMap* map = value ? value->asMap() : nullptr;
    EXPECT_NE(map, nullptr);
    return map ? *map : ChannelMap{};
  }

  static ChannelValue at(const ChannelMap& map, std::string_view key) {
    const ChannelValue* value = map.find(key);
    EXPECT_NE(value, nullptr) << key;
    return value ? *value : ChannelValue();
  }

  std::shared_ptr<FakeBundle> bundle = std::make_shared<FakeBundle>(kBundlePath);
  std::shared_ptr<FakePackageFacts> facts = std::make_shared<FakePackageFacts>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<testing::TestUi> ui;
};

TEST_F(PackageInfoTest, OutsideTheSandboxInstallTimeIsTheUpdateTime) {
  const ChannelMap map = all();
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(*key.asString());
  EXPECT_THAT(keys, ElementsAre("appName", "packageName", "version", "buildNumber",
                                "installerStore", "installTime", "updateTime"));
  EXPECT_EQ(at(map, "appName"), ChannelValue("Vellumark Signer"));
  EXPECT_EQ(at(map, "packageName"), ChannelValue("com.vellumark.desktop"));
  EXPECT_EQ(at(map, "version"), ChannelValue("1.4.0"));
  EXPECT_EQ(at(map, "buildNumber"), ChannelValue("87"));
  EXPECT_TRUE(at(map, "installerStore").isNull());
  EXPECT_EQ(at(map, "updateTime"), ChannelValue("1700000000250"));
  EXPECT_EQ(at(map, "installTime"), ChannelValue("1700000000250"));
  // The document folder is not even looked at.
  EXPECT_THAT(facts->looked, ElementsAre(kBundlePath));
}

TEST_F(PackageInfoTest, InTheSandboxInstallTimeIsTheLastDocumentFolderCreation) {
  facts->environment.insert("APP_SANDBOX_CONTAINER_ID");
  ChannelMap map = all();
  EXPECT_EQ(at(map, "installTime"), ChannelValue("1600000000500"));
  EXPECT_EQ(at(map, "updateTime"), ChannelValue("1700000000250"));
  EXPECT_TRUE(at(map, "installerStore").isNull());

  // A file system without birth times: the update time stands in.
  facts->created.clear();
  EXPECT_EQ(at(all(), "installTime"), ChannelValue("1700000000250"));
  // No document folder at all: likewise.
  facts->documents.clear();
  EXPECT_EQ(at(all(), "installTime"), ChannelValue("1700000000250"));
}

TEST_F(PackageInfoTest, AbsentFactsAreNullAndStillPresent) {
  bundle->info.erase("CFBundleDisplayName");
  EXPECT_EQ(at(all(), "appName"), ChannelValue("Vellumark"));

  bundle->info.clear();
  facts->modified.clear();
  facts->environment.insert("APP_SANDBOX_CONTAINER_ID");
  facts->created.clear();
  const ChannelMap map = all();
  ASSERT_EQ(map.size(), 7u);
  for (const auto& [key, value] : map) EXPECT_TRUE(value.isNull()) << *key.asString();
}

TEST_F(PackageInfoTest, InformationValuesGoAsStored) {
  // A display name that is there but not text is not "absent": no fallback.
  bundle->info["CFBundleDisplayName"] = InfoValue{int64_t{7}};
  bundle->info["CFBundleShortVersionString"] = InfoValue{2.5};
  bundle->info["CFBundleVersion"] = InfoValue{InfoValue::Other{}};
  const ChannelMap map = all();
  EXPECT_EQ(at(map, "appName"), ChannelValue(7));
  EXPECT_EQ(at(map, "version"), ChannelValue(2.5));
  EXPECT_TRUE(at(map, "buildNumber").isNull());
}

TEST(TimeTextTest, MillisecondsCutTowardZero) {
  auto text = [](double seconds) {
    return FPPPackageInfoPlusPlugin::getTimeMillisStringFromDate(Date{seconds});
  };
  EXPECT_EQ(text(1.5), "1500");
  EXPECT_EQ(text(0.0019999), "1");
  EXPECT_EQ(text(0.0009), "0");
  EXPECT_EQ(text(0), "0");
  EXPECT_EQ(text(-1.5), "-1500");
  EXPECT_EQ(text(-0.0019999), "-1");
  EXPECT_EQ(text(1'700'000'000.123), "1700000000123");
  EXPECT_EQ(FPPPackageInfoPlusPlugin::getTimeMillisStringFromDate(std::nullopt), std::nullopt);
  // Beyond what 64 bits of milliseconds hold, and not a number: no text.
  EXPECT_EQ(text(1e17), std::nullopt);
  EXPECT_EQ(text(-1e17), std::nullopt);
  EXPECT_EQ(text(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(text(std::nan("")), std::nullopt);
}

}  // namespace
}  // namespace vellumark
