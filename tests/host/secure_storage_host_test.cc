// The secure storage channel of the built host, over the bridge: served
// from start-up, its keychain module loaded only by the first call, answers
// given for bad arguments and unknown methods, and availability asked of
// a Secret Service without a default collection.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <variant>

#include "embedding/channel_value.h"
#include "embedding/codec.h"
#include "host_fixture.h"

namespace vellumark {
namespace {

using namespace host_test;

constexpr char kChannel[] = "brenwick/flutter_secure_storage";
constexpr char kModule[] = "vellumark_secrets.so";

bool moduleLoaded(const Host& host) {
  std::ifstream maps("/proc/" + std::to_string(host.hostPid()) + "/maps");
  std::string all((std::istreambuf_iterator<char>(maps)), {});
  return all.find(kModule) != std::string::npos;
}

using SecureStorageHostTest = HostTest;

TEST_F(SecureStorageHostTest, ServedFromStartAndLoadedOnFirstUse) {
  // The host's private bus starts a keyring of its own, in an empty home
  // (no default collection, so nothing prompts), that must not hand over to
  // the test environment's keyring on the other bus.
  Host& h = makeHost();
  fs::create_directories(dir / "home");
  fs::create_directories(dir / "run");
  fs::permissions(dir / "run", fs::perms::owner_all);
  h.setEnv("HOME", (dir / "home").string());
  h.setEnv("XDG_DATA_HOME", (dir / "home").string());
  h.setEnv("XDG_RUNTIME_DIR", (dir / "run").string());
  h.setEnv("GNOME_KEYRING_CONTROL", (dir / "run").string());
  h.start();
  ASSERT_TRUE(h.waitForSocket());
  Ui ui;
  ASSERT_TRUE(ui.connect(h.socket()));

  // Checked before any keychain work: no module is needed.
  auto missing = ui.reply(ui.call(kChannel, "read", ChannelValue(ChannelMap{})));
  ASSERT_TRUE(missing);
  auto error = std::get<ChannelError>(Ui::decode(*missing));
  EXPECT_EQ(error.code, "Missing Parameter");
  EXPECT_EQ(error.message, "read requires key parameter");
  auto unknown = ui.reply(ui.call(kChannel, "readValue"));
  ASSERT_TRUE(unknown);
  EXPECT_TRUE(unknown->empty());  // not implemented
  EXPECT_FALSE(moduleLoaded(h));

  auto available = ui.reply(ui.call(kChannel, "isProtectedDataAvailable"), 30s);
  ASSERT_TRUE(available);
  EXPECT_EQ(std::get<ChannelValue>(Ui::decode(*available)), ChannelValue(false));
  EXPECT_TRUE(moduleLoaded(h));
}

}  // namespace
}  // namespace vellumark
