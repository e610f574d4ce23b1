// The host quits cleanly on signals and keeps serving while a PIN dialog is
// open: SIGTERM with a signature waiting on the PIN, a second signal while
// quitting, SIGINT when idle, a UI that hangs up mid-dialog, and the window
// and other channels served while the dialog waits for a person.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <variant>

#include "embedding/channel_value.h"
#include "embedding/codec.h"
#include "host_fixture.h"

namespace vellumark {
namespace {

using namespace host_test;

constexpr char kSigningChannel[] = "tessel_macos";
constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";
constexpr char kTokenLabel[] = "Host Test Card";
constexpr char kUserPin[] = "1234";
constexpr char kQuitTooLong[] = "quitting took too long";

// The host exited by itself with status 0, in time, and removed its socket.
void expectCleanExit(Host& host) {
  const auto status = host.waitExit(5s);
  ASSERT_TRUE(status) << "still running: " << host.log();
  EXPECT_EQ(*status, 0) << host.log();
  EXPECT_FALSE(fs::exists(host.socket())) << "socket left behind";
  EXPECT_EQ(host.log().find(kQuitTooLong), std::string::npos) << host.log();
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// A SoftHSM2 token with one signing identity (an imported RSA-2048 key and
// its self-signed non-repudiation certificate, CKA_ID 01), made once per run
// in `root`; each test copies its token folder.
class TestToken {
 public:
  static const TestToken& instance() {
    static const TestToken token;
    return token;
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // A private copy of the token under `dir`; the SOFTHSM2_CONF to use.
  fs::path copyTo(const fs::path& dir) const {
    fs::copy(root_ / "tokens", dir / "tokens", fs::copy_options::recursive);
    return writeConf(dir);
  }

 private:
  TestToken() {
    char tmpl[] = "/tmp/vellumark-host-token.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      error_ = "mkdtemp failed";
      return;
    }
    root_ = tmpl;
    fs::create_directories(root_ / "tokens");
    const std::string d = root_.string();
    const std::string p11 = std::string("pkcs11-tool --module ") + kSoftHsmModule +
                            " --token-label '" + kTokenLabel + "' --login --pin " + kUserPin;
    const std::string script =
        "set -e; cd " + d + "; export SOFTHSM2_CONF=" + writeConf(root_).string() + ";" +
        "softhsm2-util --init-token --free --label '" + kTokenLabel + "' --pin " + kUserPin +
        " --so-pin 12345678;"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30"
        " -subj '/CN=Host Test Signer' -addext 'keyUsage=critical,nonRepudiation';"
        "openssl pkcs8 -topk8 -nocrypt -in key.pem -outform DER -out key.der;"
        "openssl pkey -in key.pem -pubout -outform DER -out pub.der;"
        "openssl x509 -in cert.pem -outform DER -out cert.der;" +
        p11 + " --write-object key.der --type privkey --id 01 --usage-sign;" + p11 +
        " --write-object pub.der --type pubkey --id 01;" + p11 +
        " --write-object cert.der --type cert --id 01;";
    ok_ = shell("(" + script + ") >" + d + "/setup.log 2>&1");
    if (!ok_) error_ = readFile(root_ / "setup.log");
  }
  ~TestToken() {
    if (!root_.empty()) fs::remove_all(root_);
  }

  static fs::path writeConf(const fs::path& dir) {
    const fs::path conf = dir / "softhsm2.conf";
    std::ofstream(conf) << "directories.tokendir = " << (dir / "tokens").string()
                        << "\nobjectstore.backend = file\nlog.level = ERROR\n"
                           "slots.removable = false\n";
    return conf;
  }

  fs::path root_;
  bool ok_ = false;
  std::string error_;
};

// A PIN dialog that never gets its PIN, like one a person walked away from:
// it agrees to every setting (noting each command), notes when the PIN is
// asked, then reads on without ever answering.
fs::path writeStuckPinentry(const fs::path& dir) {
  const fs::path script = dir / "stuck-pinentry";
  std::ofstream(script) << "#!/bin/bash\n"
                        << "echo $$ >'" << (dir / "pinentry.pid").string() << "'\n"
                        << "printf 'OK Pleased to meet you\\n'\n"
                        << "while IFS= read -r line; do\n"
                        << "  printf '%s\\n' \"$line\" >>'" << (dir / "pinentry.commands").string()
                        << "'\n"
                        << "  case \"$line\" in\n"
                        << "    GETPIN*) : >'" << (dir / "pin-asked").string()
                        << "'; while IFS= read -r _; do :; done; exit 0 ;;\n"
                        << "    BYE*) printf 'OK\\n'; exit 0 ;;\n"
                        << "    *) printf 'OK\\n' ;;\n"
                        << "  esac\n"
                        << "done\n";
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

bool processAlive(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  // The state follows the command name in parentheses; a zombie has ended.
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

const ChannelValue* field(const ChannelValue& map, const char* key) {
  return map.asMap() != nullptr ? map.asMap()->find(key) : nullptr;
}

class PinDialogHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped()) return;
    const TestToken& token = TestToken::instance();
    ASSERT_TRUE(token.ok()) << token.error();
    Host& h = makeHost();
    h.setEnv("SOFTHSM2_CONF", token.copyTo(dir).string());
    h.setEnv("VELLUMARK_PINENTRY", writeStuckPinentry(dir).string());
    h.start();
    ASSERT_TRUE(h.waitForSocket()) << h.log();
    ASSERT_TRUE(ui.connect(h.socket()));
  }
  void TearDown() override {
    // A dialog the host failed to dismiss must not outlive the test.
    if (auto pid = pinentryPid(); pid > 0 && processAlive(pid)) ::kill(pid, SIGKILL);
    HostTest::TearDown();
  }

  ChannelValue result(uint32_t id) { return result(ui, id); }
  ChannelValue result(Ui& from, uint32_t id) {
    const auto reply = from.reply(id);
    if (!reply) {
      ADD_FAILURE() << "no reply: " << host->log();
      return {};
    }
    if (reply->empty()) {
      ADD_FAILURE() << "empty reply";
      return {};
    }
    const MethodEnvelope envelope = Ui::decode(*reply);
    if (const auto* error = std::get_if<ChannelError>(&envelope)) {
      ADD_FAILURE() << error->code << ": " << error->message.value_or("");
      return {};
    }
    return std::get<ChannelValue>(envelope);
  }

  // Sends "signBytes" for the token's identity and waits until its PIN
  // dialog is open. The call's id.
  uint32_t signWithPinDialogOpen() {
    result(ui.call(kSigningChannel, "initialize"));
    const ChannelValue certificates =
        result(ui.call(kSigningChannel, "getCertificates", ChannelMap{{"onlyForSigning", true}}));
    const ChannelList* list = certificates.asList();
    if (list == nullptr || list->empty()) {
      ADD_FAILURE() << "the test token's certificate is not listed";
      return 0;
    }
    const ChannelValue* keyId = field(list->front(), "keyId");
    const ChannelValue* der = field(list->front(), "derData");
    if (keyId == nullptr || der == nullptr) {
      ADD_FAILURE() << "certificate record without keyId or derData";
      return 0;
    }
    const uint32_t id = ui.call(
        kSigningChannel, "signBytes",
        ChannelMap{
            {"keyId", *keyId}, {"hash", ChannelValue::bytes(Bytes(32, 0x5a))}, {"certDer", *der}});
    if (!waitFor([&] { return fs::exists(dir / "pin-asked"); }, 20s)) {
      ADD_FAILURE() << "the PIN dialog never asked for the PIN: " << host->log();
    }
    return id;
  }

  pid_t pinentryPid() const {
    const std::string text = readFile(dir / "pinentry.pid");
    return text.empty() ? -1 : static_cast<pid_t>(std::atoi(text.c_str()));
  }

  // The reply to `id` is an error (a cancelled PIN, typically).
  void expectErrorReply(uint32_t id, std::chrono::milliseconds timeout) {
    const auto reply = ui.reply(id, timeout);
    ASSERT_TRUE(reply) << "the call got no answer: " << host->log();
    ASSERT_FALSE(reply->empty()) << "the call got the empty reply";
    const MethodEnvelope envelope = Ui::decode(*reply);
    const auto* error = std::get_if<ChannelError>(&envelope);
    ASSERT_NE(error, nullptr) << "the call succeeded without a PIN";
    EXPECT_FALSE(error->code.empty());
  }

  Ui ui;
};

TEST_F(PinDialogHostTest, SigtermAnswersTheWaitingCallsDismissesTheDialogAndRemovesTheSocket) {
  const uint32_t id = signWithPinDialogOpen();
  ASSERT_FALSE(HasFailure());
  const pid_t dialog = pinentryPid();
  ASSERT_GT(dialog, 0);
  // Queued behind the signature.
  const uint32_t queued = ui.call(kSigningChannel, "isTokenAvailable");

  ASSERT_TRUE(host->signal(SIGTERM));
  expectErrorReply(id, 5s);
  EXPECT_TRUE(ui.reply(queued, 5s)) << "the queued call got no answer";
  expectCleanExit(*host);
  EXPECT_FALSE(processAlive(dialog)) << "the PIN dialog outlived the host";
}

TEST_F(PinDialogHostTest, ASecondSignalQuitsAtOnceAndStillAnswersEveryCall) {
  const uint32_t id = signWithPinDialogOpen();
  ASSERT_FALSE(HasFailure());
  const uint32_t queued = ui.call(kSigningChannel, "isTokenAvailable");
  ASSERT_TRUE(host->signal(SIGTERM));
  ASSERT_TRUE(host->signal(SIGINT));
  expectErrorReply(id, 5s);
  EXPECT_TRUE(ui.reply(queued, 5s)) << "the queued call got no answer";
  expectCleanExit(*host);
}

TEST_F(PinDialogHostTest, WindowAndOtherChannelsAreServedWhileThePinDialogIsOpen) {
  const uint32_t signId = signWithPinDialogOpen();
  ASSERT_FALSE(HasFailure());

  // A channel nobody serves answers at once with the empty reply.
  const auto other = ui.reply(ui.call("no/such/channel", "ping"), 5s);
  ASSERT_TRUE(other) << "the main loop is blocked by the PIN dialog";
  EXPECT_TRUE(other->empty());

  // The window still takes its shortcut.
  const std::string window = mainWindowId();
  ASSERT_FALSE(window.empty());
  run("xdotool windowactivate --sync " + window + " key --clearmodifiers ctrl+comma");
  const auto message = ui.nextMessage(5s);
  ASSERT_TRUE(message) << host->log();
  EXPECT_EQ(message->channel, "vellumark/menu");
  EXPECT_EQ(StandardMethodCodec::sharedInstance()->decodeMethodCall(message->payload).method,
            "openPreferences");

  // The dialog was told to stay above the main window.
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%lx", std::stoul(window));
  EXPECT_NE(
      readFile(dir / "pinentry.commands").find(std::string("OPTION parent-wid=") + hex + "\n"),
      std::string::npos)
      << readFile(dir / "pinentry.commands");

  // All that while the signature still waits for its PIN.
  EXPECT_FALSE(ui.reply(signId, 100ms));
  EXPECT_TRUE(processAlive(pinentryPid()));
}

TEST_F(PinDialogHostTest, UiHangingUpDismissesThePinDialogAndTheNextUiIsServed) {
  signWithPinDialogOpen();
  ASSERT_FALSE(HasFailure());
  const pid_t dialog = pinentryPid();
  ASSERT_GT(dialog, 0);

  ui.close();
  EXPECT_TRUE(waitFor([&] { return !processAlive(dialog); }, 5s))
      << "the PIN dialog stayed open for a UI that left";

  // Served in order after the dismissed signature: the signing queue moved on.
  Ui next;
  ASSERT_TRUE(waitFor([&] { return next.connect(host->socket()); }, 5s));
  const ChannelValue available = result(next, next.call(kSigningChannel, "isTokenAvailable"));
  EXPECT_EQ(available.asBool(), std::optional<bool>(true)) << host->log();
  EXPECT_TRUE(host->running());
}

// ---- signals on an idle host --------------------------------------------------

using IdleHostTest = HostTest;

TEST_F(IdleHostTest, EachQuitSignalExitsWithZeroAndRemovesTheSocket) {
  for (const int signum : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signum));
    Host& h = startHost();
    ASSERT_TRUE(h.waitForSocket()) << h.log();
    Ui ui;
    ASSERT_TRUE(ui.connect(h.socket()));
    ASSERT_TRUE(h.signal(signum));
    EXPECT_TRUE(ui.waitClosed(5s)) << "the UI's connection stayed open";
    expectCleanExit(h);
    host.reset();
  }
}

}  // namespace
}  // namespace vellumark
