// The package map on a fixture bundle with this machine's file dates,
// environment and document folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "package_info_plus/package_info_plus_plugin.h"
#include "platform_linux/bundle.h"
#include "platform_linux/device.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

constexpr char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.fixture</string>
  <key>CFBundleName</key><string>Fixture</string>
  <key>CFBundleShortVersionString</key><string>2.0.1</string>
  <key>CFBundleVersion</key><string>314</string>
</dict></plist>
)";

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class PackageLinuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellumark-package.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_directories(dir / "Fixture.app");
    std::ofstream(dir / "Fixture.app/Info.plist") << kInfoPlist;
    // A known modification time: 1.5 s past 2023-11-14 22:13:20 UTC.
    const timespec times[2] = {{1'700'000'000, 500'000'000}, {1'700'000'000, 500'000'000}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "Fixture.app").c_str(), times, 0), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  ChannelMap packageInfo() {
    return FPPPackageInfoPlusPlugin(linux_platform::openBundle((dir / "Fixture.app").string()),
                                    linux_platform::createPackageFacts())
        .packageInfo();
  }

  fs::path dir;
};

TEST_F(PackageLinuxTest, ReadsTheBundleAndItsModificationTime) {
  ScopedEnv sandbox("APP_SANDBOX_CONTAINER_ID", std::nullopt);
  const ChannelMap map = packageInfo();
  ASSERT_EQ(map.size(), 7u);
  EXPECT_EQ(*map.find("appName"), ChannelValue("Fixture"));
  EXPECT_EQ(*map.find("packageName"), ChannelValue("com.example.fixture"));
  EXPECT_EQ(*map.find("version"), ChannelValue("2.0.1"));
  EXPECT_EQ(*map.find("buildNumber"), ChannelValue("314"));
  EXPECT_TRUE(map.find("installerStore")->isNull());
  EXPECT_EQ(*map.find("updateTime"), ChannelValue("1700000000500"));
  EXPECT_EQ(*map.find("installTime"), ChannelValue("1700000000500"));
}

TEST_F(PackageLinuxTest, InTheSandboxInstallTimeIsTheDocumentFolderBirth) {
  ScopedEnv sandbox("APP_SANDBOX_CONTAINER_ID", "");  // present, even empty
  const fs::path documents = dir / "Docs";
  fs::create_directories(documents);
  ScopedEnv docs("XDG_DOCUMENTS_DIR", documents.string());
  auto facts = linux_platform::createPackageFacts();
  ASSERT_EQ(facts->documentDirectories(), std::vector<std::string>{documents.string()});
  const ChannelMap map = packageInfo();
  const auto created = facts->creationDate(documents.string());
  if (!created) {
    // This file system keeps no birth times: the update time stands in.
    EXPECT_EQ(*map.find("installTime"), *map.find("updateTime"));
  } else {
    EXPECT_EQ(*map.find("installTime"),
              ChannelValue(*FPPPackageInfoPlusPlugin::getTimeMillisStringFromDate(created)));
  }
}

TEST_F(PackageLinuxTest, DocumentFolderFromUserDirsElseHome) {
  ScopedEnv docs("XDG_DOCUMENTS_DIR", std::nullopt);
  ScopedEnv home("HOME", (dir / "home").string());
  ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").string());
  auto facts = linux_platform::createPackageFacts();
  EXPECT_EQ(facts->documentDirectories(),
            std::vector<std::string>{(dir / "home/Documents").string()});
  fs::create_directories(dir / "config");
  std::ofstream(dir / "config/user-dirs.dirs")
      << "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
         "XDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n";
  EXPECT_EQ(facts->documentDirectories(),
            std::vector<std::string>{(dir / "home/Papiere").string()});
}

TEST_F(PackageLinuxTest, ABundleThatIsGoneHasNoTimes) {
  ScopedEnv sandbox("APP_SANDBOX_CONTAINER_ID", std::nullopt);
  FPPPackageInfoPlusPlugin plugin(linux_platform::openBundle((dir / "Gone.app").string()),
                                  linux_platform::createPackageFacts());
  const ChannelMap map = plugin.packageInfo();
  EXPECT_TRUE(map.find("installTime")->isNull());
  EXPECT_TRUE(map.find("updateTime")->isNull());
}

}  // namespace
}  // namespace vellumark
