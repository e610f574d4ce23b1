// The device map on this machine's real sources, and on fixture trees of
// the files the Linux sources read.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "device_info_plus/device_info_plus_plugin.h"
#include "platform_linux/device.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

const ChannelValue& at(const ChannelMap& map, std::string_view key) {
  static const ChannelValue missing;
  const ChannelValue* value = map.find(key);
  EXPECT_NE(value, nullptr) << key;
  return value ? *value : missing;
}

std::string text(const ChannelMap& map, std::string_view key) {
  const std::string* s = at(map, key).asString();
  EXPECT_NE(s, nullptr) << key;
  return s ? *s : std::string();
}

ChannelMap deviceInfo(const std::string& root = {}) {
  linux_platform::DeviceSourceOptions options{root};
  return DeviceInfoPlusMacosPlugin(linux_platform::createSysctl(options),
                                   linux_platform::createDeviceFacts(options))
      .deviceInfo();
}

// MemTotal of /proc/meminfo, in bytes.
int64_t memTotal() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  int64_t kib = 0;
  while (in >> key >> kib >> unit) {
    if (key == "MemTotal:") return kib * 1024;
  }
  return -1;
}

TEST(DeviceLinuxTest, ThisMachinesFactsArePlausible) {
  const ChannelMap map = deviceInfo();
  ASSERT_EQ(map.size(), 14u);
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  // The kernel's OS type, not the network name.
  EXPECT_EQ(text(map, "hostName"), names.sysname);
  EXPECT_EQ(text(map, "arch"), names.machine);
  const std::string kernel = text(map, "kernelVersion");
  EXPECT_EQ(kernel.rfind(std::string(names.sysname) + " " + names.release, 0), 0u) << kernel;
  EXPECT_FALSE(text(map, "computerName").empty());
  EXPECT_FALSE(text(map, "osRelease").empty());
  EXPECT_EQ(at(map, "memorySize"), ChannelValue(memTotal()));
  EXPECT_EQ(at(map, "activeCPUs"), ChannelValue(sysconf(_SC_NPROCESSORS_ONLN)));
  const auto frequency = at(map, "cpuFrequency").asInteger();
  ASSERT_TRUE(frequency.has_value());
  EXPECT_GE(*frequency, 0);
  // The model is the DMI product name when the machine publishes one.
  std::ifstream product("/sys/class/dmi/id/product_name");
  std::string model;
  std::getline(product, model);
  EXPECT_EQ(text(map, "model"), model);
  const ChannelValue& guid = at(map, "systemGUID");
  EXPECT_TRUE(guid.isNull() || (guid.asString() && guid.asString()->size() == 36));
}

class DeviceFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellumark-device.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
  }
  void TearDown() override { fs::remove_all(root); }

  void write(const std::string& path, const std::string& content) {
    const fs::path file = root / path.substr(1);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }

  fs::path root;
};

TEST_F(DeviceFixtureTest, ReadsNamesVersionsModelAndFrequencyFromTheirFiles) {
  write("/etc/machine-info", "# set by hostnamectl\nPRETTY_HOSTNAME=\"Ann's \\\"Desk\\\"\"\n");
  write("/etc/os-release",
        "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nPRETTY_NAME=\"Ubuntu 22.04.4 LTS\"\n");
  write("/sys/class/dmi/id/product_name", "MacBookPro18,1\n");
  write("/sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4b4e32\n");
  write("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "3600000\n");
  write("/sys/devices/system/cpu/cpu1/cpufreq/cpuinfo_max_freq", "4200000\n");
  write("/sys/devices/system/cpu/cpufreq/policy0/cpuinfo_max_freq", "9900000\n");

  const ChannelMap map = deviceInfo(root);
  EXPECT_EQ(text(map, "computerName"), "Ann's \"Desk\"");
  EXPECT_EQ(text(map, "osRelease"), "Ubuntu 22.04.4 LTS");
  EXPECT_EQ(at(map, "majorVersion"), ChannelValue(22));
  EXPECT_EQ(at(map, "minorVersion"), ChannelValue(4));
  EXPECT_EQ(at(map, "patchVersion"), ChannelValue(0));
  EXPECT_EQ(text(map, "model"), "MacBookPro18,1");
  EXPECT_EQ(text(map, "modelName"), "MacBook Pro (14-inch, 2021)");
  EXPECT_EQ(at(map, "systemGUID"), ChannelValue("4c4c4544-0042-3510-8052-b4c04f4b4e32"));
  EXPECT_EQ(at(map, "cpuFrequency"), ChannelValue(int64_t{4'200'000'000}));
}

TEST_F(DeviceFixtureTest, MissingFilesGiveTheFallbacks) {
  const ChannelMap map = deviceInfo(root);
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(text(map, "computerName"), names.nodename);
  EXPECT_EQ(text(map, "model"), "");
  EXPECT_EQ(text(map, "modelName"), "Unknown Model");
  EXPECT_EQ(text(map, "osRelease"), "Linux");
  EXPECT_EQ(at(map, "majorVersion"), ChannelValue(0));
  EXPECT_EQ(at(map, "cpuFrequency"), ChannelValue(0));
  EXPECT_TRUE(at(map, "systemGUID").isNull());
  // Sources that need no file are unaffected.
  EXPECT_EQ(text(map, "hostName"), names.sysname);
}

TEST_F(DeviceFixtureTest, VersionsAndNamesFromEveryReleaseFileShape) {
  // No /etc/os-release: the one under /usr/lib; no pretty name: name and version.
  write("/usr/lib/os-release", "NAME=Alpine\nVERSION='3.19.1 edge'\nVERSION_ID=3.19.1\n");
  write("/etc/machine-info", "PRETTY_HOSTNAME=\n");
  ChannelMap map = deviceInfo(root);
  EXPECT_EQ(text(map, "osRelease"), "Alpine 3.19.1 edge");
  EXPECT_EQ(at(map, "majorVersion"), ChannelValue(3));
  EXPECT_EQ(at(map, "minorVersion"), ChannelValue(19));
  EXPECT_EQ(at(map, "patchVersion"), ChannelValue(1));
  // An empty pretty host name is no name.
  EXPECT_NE(text(map, "computerName"), "");

  write("/etc/os-release", "NAME=\"Arch Linux\"\nVERSION_ID=rolling\n");
  map = deviceInfo(root);
  EXPECT_EQ(text(map, "osRelease"), "Arch Linux");
  EXPECT_EQ(at(map, "majorVersion"), ChannelValue(0));
}

}  // namespace
}  // namespace vellumark
