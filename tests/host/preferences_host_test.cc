// The preferences channels of the built host, over the bridge: values land in
// the configuration folder the host was given, and hostctl speaks the codec.
#include "host_fixture.h"

namespace vellumark::host_test {
namespace {

constexpr char kApi[] = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";

class PreferencesHostTest : public HostTest {};

TEST_F(PreferencesHostTest, SetAndReadBackThroughHostctl) {
  Host& h = makeHost();
  h.setEnv("XDG_CONFIG_HOME", (dir / "config").string());
  h.start();
  ASSERT_TRUE(h.waitForSocket());
  const std::string hostctl =
      kHostctl.string() + " --socket " + h.socket().string() + " send --codec preferences " + kApi;
  const std::string options = R"({"$map": [["$ext", [129, [null]]]]})";
  EXPECT_EQ(run(hostctl + "set '[\"volume\", 0.5, " + options + "]'"), "[null]\n");
  EXPECT_EQ(run(hostctl + "getValue '[\"volume\", " + options + "]'"), "[0.5]\n");
  EXPECT_EQ(run(hostctl + "getAll '[null, " + options + "]'"), "[{\"volume\": 0.5}]\n");
  const std::string refused = R"({"$map": [["$ext", [129, ["NSGlobalDomain"]]]]})";
  EXPECT_EQ(run(hostctl + "getAll '[null, " + refused + "]'"),
            "[\"Argument Error\", \"The provided Suite Name 'NSGlobalDomain' does not exist\", "
            "\"\"]\n");
  EXPECT_EQ(run(hostctl + "getAll '\"not a list\"' | cut -c1-17"), "[\"invalid-args\", \n");
  EXPECT_TRUE(fs::exists(dir / "config/vellumark/com.vellumark.desktop.plist"));
}

}  // namespace
}  // namespace vellumark::host_test
