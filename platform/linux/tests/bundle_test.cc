#include "platform_linux/bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vellumark::linux_platform {
namespace {

namespace fs = std::filesystem;

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bundle-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    fs::create_directories(root / "Resources");
    fs::create_directories(root / "bin");
  }
  void TearDown() override { fs::remove_all(root); }

  void write(const fs::path& file, const std::string& content) {
    std::ofstream(root / file, std::ios::binary) << content;
  }

  fs::path root;
};

constexpr char kInfo[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.vellumark.desktop</string>
  <key>CFBundleShortVersionString</key><string>1.2.3</string>
  <key>Flag</key><true/>
  <key>Negative</key><integer>-5</integer>
  <key>Ratio</key><real>0.5</real>
  <key>Blob</key><data>AAEC</data>
  <key>List</key><array><string>a</string></array>
</dict></plist>)";

TEST_F(BundleTest, ReadsEveryKindOfInformationValue) {
  write("Info.plist", kInfo);
  std::string error;
  auto bundle = openBundle(root.string(), &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(bundle->bundlePath(), root.string());
  EXPECT_EQ(bundle->bundleIdentifier(), "com.vellumark.desktop");

  auto version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  ASSERT_TRUE(version && version->asString());
  EXPECT_EQ(*version->asString(), "1.2.3");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Flag")->value, platform::InfoValue{true}.value);
  // libplist stores negatives as unsigned; they must come back signed.
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Negative")->value,
            platform::InfoValue{int64_t{-5}}.value);
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Ratio")->value, platform::InfoValue{0.5}.value);
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Blob")->value,
            (platform::InfoValue{std::vector<uint8_t>{0, 1, 2}}.value));
  auto list = bundle->objectForInfoDictionaryKey("List");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->asString(), nullptr);  // present, but not a string
  EXPECT_FALSE(bundle->objectForInfoDictionaryKey("CFBundleName"));
}

TEST_F(BundleTest, ReadsABinaryInfoPlist) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleName", plist_new_string("Vellumark"));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bin, &length);
  write("Info.plist", std::string(bin, length));
  plist_to_bin_free(bin);
  plist_free(dict);

  auto bundle = openBundle(root.string());
  auto name = bundle->objectForInfoDictionaryKey("CFBundleName");
  ASSERT_TRUE(name && name->asString());
  EXPECT_EQ(*name->asString(), "Vellumark");
}

TEST_F(BundleTest, BrokenOrMissingInfoPlistGivesAnEmptyDictionaryAndAReason) {
  struct Case {
    const char* name;
    std::optional<std::string> content;
  };
  for (const Case& c : {Case{"missing", std::nullopt}, Case{"garbage", "not a plist at all"},
                        Case{"array root", "<plist><array/></plist>"},
                        Case{"truncated", std::string(kInfo).substr(0, 200)}}) {
    SCOPED_TRACE(c.name);
    fs::remove(root / "Info.plist");
    if (c.content) write("Info.plist", *c.content);
    std::string error;
    auto bundle = openBundle(root.string(), &error);
    EXPECT_NE(error, "");
    EXPECT_FALSE(bundle->bundleIdentifier());
    EXPECT_FALSE(bundle->objectForInfoDictionaryKey("CFBundleIdentifier"));
  }
}

TEST_F(BundleTest, EmptyIdentifierIsNoIdentifier) {
  write("Info.plist", "<plist><dict><key>CFBundleIdentifier</key><string></string></dict></plist>");
  EXPECT_FALSE(openBundle(root.string())->bundleIdentifier());
}

TEST_F(BundleTest, FindsOnlyRegularFilesInsideResources) {
  write("Resources/AppIcon.png", "png");
  write("Resources/README", "text");
  write("secret.png", "outside");
  fs::create_directories(root / "Resources" / "Folder.png");
  auto bundle = openBundle(root.string());

  EXPECT_EQ(bundle->pathForResource("AppIcon", "png"), (root / "Resources/AppIcon.png").string());
  EXPECT_EQ(bundle->pathForResource("README", ""), (root / "Resources/README").string());
  EXPECT_FALSE(bundle->pathForResource("Missing", "png"));
  EXPECT_FALSE(bundle->pathForResource("Folder", "png"));
  EXPECT_FALSE(bundle->pathForResource("../secret", "png"));
  EXPECT_FALSE(bundle->pathForResource("..", ""));
  EXPECT_FALSE(bundle->pathForResource("AppIcon", "png/../../secret.png"));
}

TEST(BundlePathTest, IsTheParentOfTheExecutablesFolder) {
  EXPECT_EQ(bundlePathForExecutable("/opt/Vellumark/bin/vellumark"), "/opt/Vellumark");
}

}  // namespace
}  // namespace vellumark::linux_platform
