// The device map through the real codec, on scripted kernel controls and
// device facts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <set>

#include "device_info_plus/device_info_plus_plugin.h"
#include "embedding/engine.h"
#include "embedding/testing.h"
#include "model_names.h"
#include "platform_fakes/fake_device.h"
#include "sysctl_reader.h"

namespace vellumark {
namespace {

using platform::fakes::FakeDeviceFacts;
using platform::fakes::FakeSysctl;
using ::testing::ElementsAre;

constexpr char kChannel[] = "kelvarrow/device_info";

// A machine whose every source answers.
void fillMachine(FakeSysctl& sysctl, FakeDeviceFacts& facts) {
  sysctl.setText({1, 10}, "studio.local");
  sysctl.setText({1, 1}, "Darwin");
  sysctl.setText({6, 1}, "arm64");
  sysctl.setText({6, 2}, "Mac14,13");
  sysctl.setText({1, 4}, "Darwin Kernel Version 24.1.0");
  sysctl.setValue<int32_t>({6, 25}, 12);
  sysctl.setValue<uint64_t>({6, 24}, uint64_t{32} << 30);
  sysctl.names["hw.cpufrequency"] = {6, 100};
  sysctl.setValue<int64_t>({6, 100}, 3'200'000'000);
  facts.hostName = "Studio";
  facts.versionString = "Version 15.1 (Build 24B83)";
  facts.version = {15, 1, 0};
  facts.uuid = "0A1B2C3D-0000-1111-2222-333344445555";
}

class DeviceInfoTest : public ::testing::Test {
 protected:
  DeviceInfoTest() {
    platform::Services services;
    services.sysctl = sysctl;
    services.deviceFacts = facts;
    registry = std::make_unique<PluginRegistry>(messenger, nullptr, services);
    DeviceInfoPlusMacosPlugin::registerWithRegistrar(
        registry->registrarForPlugin("DeviceInfoPlusMacosPlugin"));
    ui = std::make_unique<testing::TestUi>(messenger);
  }

  // The answer to "getDeviceInfo", which must be a map.
  ChannelMap info() {
    auto response = ui->call(kChannel, "getDeviceInfo");
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

  std::shared_ptr<FakeSysctl> sysctl = std::make_shared<FakeSysctl>();
  std::shared_ptr<FakeDeviceFacts> facts = std::make_shared<FakeDeviceFacts>();
  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<testing::TestUi> ui;
};

std::vector<std::string> keysOf(const ChannelMap& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(*key.asString());
  return keys;
}

TEST_F(DeviceInfoTest, AnswersEveryFactInReadOrderWithItsWireType) {
  fillMachine(*sysctl, *facts);
  const ChannelMap map = info();
  EXPECT_THAT(keysOf(map),
              ElementsAre("computerName", "hostName", "arch", "model", "modelName", "kernelVersion",
                          "osRelease", "majorVersion", "minorVersion", "patchVersion", "activeCPUs",
                          "memorySize", "cpuFrequency", "systemGUID"));
  EXPECT_EQ(at(map, "computerName"), ChannelValue("Studio"));
  // The kernel's OS type, not the network host name.
  EXPECT_EQ(at(map, "hostName"), ChannelValue("Darwin"));
  EXPECT_EQ(at(map, "arch"), ChannelValue("arm64"));
  EXPECT_EQ(at(map, "model"), ChannelValue("Mac14,13"));
  EXPECT_EQ(at(map, "modelName"), ChannelValue("Mac Studio (2023)"));
  EXPECT_EQ(at(map, "kernelVersion"), ChannelValue("Darwin Kernel Version 24.1.0"));
  EXPECT_EQ(at(map, "osRelease"), ChannelValue("Version 15.1 (Build 24B83)"));
  EXPECT_EQ(at(map, "majorVersion"), ChannelValue(int64_t{15}));
  EXPECT_EQ(at(map, "minorVersion"), ChannelValue(int64_t{1}));
  EXPECT_EQ(at(map, "patchVersion"), ChannelValue(int64_t{0}));
  EXPECT_EQ(at(map, "activeCPUs"), ChannelValue(int32_t{12}));
  EXPECT_EQ(at(map, "memorySize"), ChannelValue(int64_t{32} << 30));
  EXPECT_EQ(at(map, "cpuFrequency"), ChannelValue(int64_t{3'200'000'000}));
  EXPECT_EQ(at(map, "systemGUID"), ChannelValue("0A1B2C3D-0000-1111-2222-333344445555"));
}

TEST_F(DeviceInfoTest, EverySourceFailingGivesTheFallbacksAndStillAllKeys) {
  sysctl->errors[{1, 1}] = EPERM;
  const ChannelMap map = info();
  ASSERT_EQ(map.size(), 14u);
  for (const char* key : {"computerName", "hostName", "arch", "model", "kernelVersion"}) {
    EXPECT_EQ(at(map, key), ChannelValue("")) << key;
  }
  EXPECT_EQ(at(map, "modelName"), ChannelValue("Unknown Model"));
  for (const char* key : {"activeCPUs", "memorySize", "cpuFrequency"}) {
    EXPECT_EQ(at(map, key), ChannelValue(0)) << key;
  }
  EXPECT_TRUE(at(map, "systemGUID").isNull());
}

TEST_F(DeviceInfoTest, ComputerNameFallsBackToTheKernelHostName) {
  fillMachine(*sysctl, *facts);
  facts->hostName.reset();
  EXPECT_EQ(at(info(), "computerName"), ChannelValue("studio.local"));
  sysctl->errors[{1, 10}] = ENOENT;
  EXPECT_EQ(at(info(), "computerName"), ChannelValue(""));
  // With a name for people, the kernel's host name is never asked for.
  facts->hostName = "Desk";
  sysctl->reads.clear();
  EXPECT_EQ(at(info(), "computerName"), ChannelValue("Desk"));
  for (const auto& path : sysctl->reads) EXPECT_NE(path, (FakeSysctl::Path{1, 10}));
}

TEST_F(DeviceInfoTest, WrongSizesAndBadTextFallBackPerKey) {
  fillMachine(*sysctl, *facts);
  sysctl->setValue<int64_t>({6, 25}, 12);               // 8 bytes for a 32-bit value
  sysctl->setValue<uint32_t>({6, 24}, 1024);            // 4 bytes for a 64-bit value
  sysctl->values[{6, 1}] = {'a', 'r', 0xC3, 0x28, 0};   // broken UTF-8
  sysctl->values[{1, 1}] = {'L', 'i', 'n', 0, 'x', 0};  // text ends at the first zero
  sysctl->values[{1, 4}] = {'v', '1'};                  // no terminator at all
  const ChannelMap map = info();
  EXPECT_EQ(at(map, "activeCPUs"), ChannelValue(0));
  EXPECT_EQ(at(map, "memorySize"), ChannelValue(0));
  EXPECT_EQ(at(map, "arch"), ChannelValue(""));
  EXPECT_EQ(at(map, "hostName"), ChannelValue("Lin"));
  EXPECT_EQ(at(map, "kernelVersion"), ChannelValue("v1"));
  // The others are unaffected.
  EXPECT_EQ(at(map, "model"), ChannelValue("Mac14,13"));
  EXPECT_EQ(at(map, "cpuFrequency"), ChannelValue(int64_t{3'200'000'000}));
}

TEST_F(DeviceInfoTest, CpuFrequencyIsZeroWhenTheNameOrTheReadFails) {
  fillMachine(*sysctl, *facts);
  sysctl->names.erase("hw.cpufrequency");
  EXPECT_EQ(at(info(), "cpuFrequency"), ChannelValue(0));
  sysctl->names["hw.cpufrequency"] = {6, 101};  // resolves, but has no value
  const ChannelMap map = info();
  EXPECT_EQ(at(map, "cpuFrequency"), ChannelValue(0));
  EXPECT_EQ(at(map, "activeCPUs"), ChannelValue(12));
}

TEST_F(DeviceInfoTest, UnknownModelKeepsItsIdentifier) {
  fillMachine(*sysctl, *facts);
  sysctl->setText({6, 2}, "Standard PC (Q35 + ICH9, 2009)");
  const ChannelMap map = info();
  EXPECT_EQ(at(map, "model"), ChannelValue("Standard PC (Q35 + ICH9, 2009)"));
  EXPECT_EQ(at(map, "modelName"), ChannelValue("Unknown Model"));
}

TEST(SysctlReaderTest, AnAnswerThatGrowsBetweenTheTwoReadsFails) {
  FakeSysctl sysctl;
  sysctl.setText({1, 1}, "Darwin");
  sysctl.growAfterSizeQuery = 4;
  device_info::SysctlReader reader(&sysctl);
  const int path[] = {1, 1};
  try {
    reader.text(path);
    ADD_FAILURE() << "no error";
  } catch (const device_info::SysctlError& e) {
    EXPECT_EQ(e.kind, device_info::SysctlError::Kind::posixError);
    EXPECT_EQ(e.code, ENOMEM);
  }
}

TEST(SysctlReaderTest, TextThatIsNotWellFormedUtf8Fails) {
  FakeSysctl sysctl;
  device_info::SysctlReader reader(&sysctl);
  const int path[] = {1, 1};
  auto read = [&](const std::string& text) {
    sysctl.setText({1, 1}, text);
    return reader.text(path);
  };
  EXPECT_EQ(read("plain"), "plain");
  EXPECT_EQ(read("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"),
            "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80");
  for (const char* bad : {"\xC0\xAF",          // overlong "/"
                          "\xED\xA0\x80",      // surrogate
                          "\xF4\x90\x80\x80",  // above U+10FFFF
                          "\xE2\x82",          // cut short
                          "\xFF"}) {
    try {
      read(bad);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(std::string(bad));
    } catch (const device_info::SysctlError& e) {
      EXPECT_EQ(e.kind, device_info::SysctlError::Kind::malformedUTF8);
    }
  }
}

TEST(ModelNamesTest, TableRowsAndUnknownIdentifiers) {
  EXPECT_EQ(device_info::modelName("MacBook8,1"), "MacBook (12-inch, 2015)");
  EXPECT_EQ(device_info::modelName("MacBookAir10,1"), "MacBook Air (13-inch, 2020)");
  EXPECT_EQ(device_info::modelName("Mac15,10"), "MacBook Pro (14-inch, 2023)");
  EXPECT_EQ(device_info::modelName("Mac17,5"), "MacBook Neo");
  EXPECT_EQ(device_info::modelName("MacMini6,2"), "Mac mini (2012)");
  EXPECT_EQ(device_info::modelName("iMacPro1,1"), "iMac Pro (2017)");
  EXPECT_EQ(device_info::modelName("Mac16,9"), "Mac Studio (2025)");
  // Whole text, exact case.
  EXPECT_EQ(device_info::modelName("Macmini6,1"), "Unknown Model");
  EXPECT_EQ(device_info::modelName("MacBook8,1 "), "Unknown Model");
  EXPECT_EQ(device_info::modelName("MacBook8"), "Unknown Model");
  EXPECT_EQ(device_info::modelName(""), "Unknown Model");

  std::set<std::string_view> identifiers, names;
  for (const auto& row : device_info::modelRows()) {
    identifiers.insert(row.identifier);
    names.insert(row.name);
  }
  EXPECT_EQ(device_info::modelRows().size(), 109u);
  EXPECT_EQ(identifiers.size(), 109u);
  EXPECT_EQ(names.size(), 72u);
}

}  // namespace
}  // namespace vellumark
