#include "embedding_glib/ui_bridge.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>

#include "bridge_fixture.h"
#include "embedding/bridge_client.h"

namespace vellumark::testing {
namespace {

using namespace std::chrono_literals;
using bridge::BridgeClient;
using bridge::encodeMessageFrame;
using bridge::encodeReplyFrame;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records how often, and with what, a host reply callback ran.
struct ReplyLog {
  std::vector<Bytes> replies;
  BinaryReplyCallback callback() {
    return [this](std::span<const uint8_t> r) { replies.emplace_back(r.begin(), r.end()); };
  }
};

class UiBridgeTest : public BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    messenger_->setMessageHandler("echo",
                                  [](std::span<const uint8_t> m, BinaryReply reply) { reply(m); });
    // Keeps the reply to answer it later from the test.
    messenger_->setMessageHandler("later", [this](std::span<const uint8_t>, BinaryReply reply) {
      later_ = std::move(reply);
    });
  }
  void TearDown() override {
    later_.reset();
    BridgeFixture::TearDown();
  }

  std::optional<BinaryReply> later_;
};

TEST_F(UiBridgeTest, AnswersCallsWithTheirIdAndUnknownChannelsEmpty) {
  startBridge();
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    // A message that wants no reply gets none: the next reply is the call's.
    ui.send("echo", Bytes{1});
    EXPECT_EQ(ui.call("echo", Bytes{7, 8}), (Bytes{7, 8}));
    EXPECT_EQ(ui.call("no/such/channel", Bytes{7}), Bytes{});
    EXPECT_EQ(ui.call("echo", {}), Bytes{});
  });
  EXPECT_FALSE(bridge_->uiConnected());
  EXPECT_FALSE(messenger_->uiAttached());
}

TEST_F(UiBridgeTest, EveryHostReplyCallbackRunsExactlyOnce) {
  startBridge();
  ReplyLog answered, abandoned;
  std::atomic<bool> connected{false};
  std::atomic<bool> sent{false};
  std::thread uiThread([&] {
    BridgeClient ui;
    ui.connect(path_);
    connected = true;
    while (!sent) std::this_thread::sleep_for(1ms);
    auto a = ui.nextHostMessage(5s);
    auto b = ui.nextHostMessage(5s);
    auto c = ui.nextHostMessage(5s);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->channel, "window_manager");
    EXPECT_EQ(a->id, 0u);  // no callback: no answer awaited
    EXPECT_NE(b->id, 0u);
    EXPECT_NE(c->id, 0u);
    EXPECT_NE(b->id, c->id);
    ui.reply(b->id, Bytes{0, 0});
    // Leaves `c` unanswered and disconnects.
  });
  ASSERT_TRUE(pumpUntil([&] { return connected && messenger_->uiAttached(); }));
  messenger_->sendOnChannel("window_manager", Bytes{1});
  messenger_->sendOnChannel("vellumark/menu", Bytes{2}, answered.callback());
  messenger_->sendOnChannel("desktop_drop", Bytes{3}, abandoned.callback());
  sent = true;
  ASSERT_TRUE(pumpUntil([&] { return abandoned.replies.size() == 1; }));
  uiThread.join();
  drain();
  EXPECT_THAT(answered.replies, ElementsAre(Bytes{0, 0}));
  EXPECT_THAT(abandoned.replies, ElementsAre(Bytes{}));
  // Detached again: the messenger holds what it sends now.
  messenger_->sendOnChannel("window_manager", Bytes{4});
  EXPECT_EQ(messenger_->heldMessageCount(), 1u);
}

// Output goes out at once when the socket takes it; what it cannot take
// waits, and what comes after waits behind it: nothing is cut or reordered.
TEST_F(UiBridgeTest, OutputTheSocketCannotTakeAtOnceArrivesWholeAndInOrder) {
  startBridge();
  Bytes large(8 * 1024 * 1024);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 131 + 7);
  std::atomic<bool> connected{false};
  std::atomic<bool> sent{false};
  std::atomic<bool> done{false};
  std::optional<Bytes> first, second, echoed;
  std::thread uiThread([&] {
    BridgeClient ui;
    ui.connect(path_);
    connected = true;
    // Not reading yet: the host's send fills the socket and queues the rest.
    while (!sent) std::this_thread::sleep_for(1ms);
    echoed = ui.call("echo", Bytes{9}, 10s);
    auto a = ui.nextHostMessage(5s);
    auto b = ui.nextHostMessage(5s);
    if (a) first = a->payload;
    if (b) second = b->payload;
    done = true;
  });
  ASSERT_TRUE(pumpUntil([&] { return connected && messenger_->uiAttached(); }));
  messenger_->sendOnChannel("window_manager", large);
  messenger_->sendOnChannel("window_manager/2", Bytes{1, 2, 3});
  sent = true;
  EXPECT_TRUE(pumpUntil([&] { return done.load(); }, 20s));
  uiThread.join();
  EXPECT_EQ(echoed, (Bytes{9}));
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(*first == large) << "first message has " << first->size() << " bytes";
  EXPECT_EQ(*second, (Bytes{1, 2, 3}));
}

TEST_F(UiBridgeTest, ReplyOwedToAGoneUiIsDroppedNotSentToTheNextOne) {
  startBridge();
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    EXPECT_THROW(ui.call("later", {}, 200ms), bridge::BridgeTimeout);
  });
  ASSERT_TRUE(later_.has_value());
  // The next UI connects; then the old answer comes.
  std::atomic<bool> connected{false};
  std::atomic<bool> answered{false};
  std::thread uiThread([&] {
    BridgeClient ui;
    ui.connect(path_);
    connected = true;
    while (!answered) std::this_thread::sleep_for(1ms);
    // A stray reply frame would fail this call as a protocol error.
    EXPECT_EQ(ui.call("echo", Bytes{5}), (Bytes{5}));
  });
  ASSERT_TRUE(pumpUntil([&] { return connected && bridge_->uiConnected(); }));
  (*later_)(Bytes{9});
  answered = true;
  ASSERT_TRUE(pumpUntil([&] { return !bridge_->uiConnected(); }));
  uiThread.join();
}

TEST_F(UiBridgeTest, ReplyReportsAbandonedOnceItsUiHungUp) {
  startBridge();
  std::atomic<bool> called{false};
  std::atomic<bool> leave{false};
  std::thread uiThread([&] {
    BridgeClient ui;
    ui.connect(path_);
    EXPECT_THROW(ui.call("later", {}, 100ms), bridge::BridgeTimeout);
    called = true;
    while (!leave) std::this_thread::sleep_for(1ms);
  });
  ASSERT_TRUE(pumpUntil([&] { return called && later_.has_value(); }));
  EXPECT_FALSE(later_->abandoned());
  leave = true;
  uiThread.join();
  ASSERT_TRUE(pumpUntil([&] { return !bridge_->uiConnected(); }));
  EXPECT_TRUE(later_->abandoned());
  // A worker deciding whether to start the job asks too.
  bool abandonedThere = false;
  std::thread([&] { abandonedThere = later_->abandoned(); }).join();
  EXPECT_TRUE(abandonedThere);
  (*later_)(Bytes{1});  // goes nowhere
  EXPECT_TRUE(later_->answered());
}

TEST_F(UiBridgeTest, HeldMessagesArriveOnConnectLatestPerChannelInOrder) {
  ReplyLog firstA, secondA;
  messenger_->sendOnChannel("a", Bytes{1}, firstA.callback());
  messenger_->sendOnChannel("b", Bytes{1});
  messenger_->sendOnChannel("a", Bytes{2}, secondA.callback());
  EXPECT_THAT(firstA.replies, ElementsAre(Bytes{}));  // dropped: answered empty
  startBridge();
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    auto m1 = ui.nextHostMessage(5s);
    auto m2 = ui.nextHostMessage(5s);
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->channel, "b");
    EXPECT_EQ(m1->payload, Bytes{1});
    EXPECT_EQ(m2->channel, "a");
    EXPECT_EQ(m2->payload, Bytes{2});
    ui.reply(m2->id, Bytes{0, 1});
    EXPECT_FALSE(ui.nextHostMessage(50ms));
  });
  EXPECT_THAT(firstA.replies, ElementsAre(Bytes{}));
  EXPECT_THAT(secondA.replies, ElementsAre(Bytes{0, 1}));
}

TEST_F(UiBridgeTest, ProtocolErrorClosesThatConnectionAndTheHostServesTheNext) {
  startBridge();
  struct Case {
    const char* name;
    Bytes bytes;
    bool halfClose;  // the UI stops sending after the bytes
    const char* logged;
  };
  Bytes partial = encodeMessageFrame("echo", 1, Bytes{1, 2, 3});
  partial.pop_back();
  const std::vector<Case> cases = {
      {"unknown kind", {5, 0, 0, 0, 9, 0, 0, 0, 0}, false, "unknown frame kind 9"},
      {"frame too long", {0x01, 0x00, 0x00, 0x04, 1}, false, "exceeds"},
      {"name past end", {9, 0, 0, 0, 1, 1, 0, 0, 0, 9, 0, 'e', 'c'}, false, "past the frame end"},
      {"bad name", {8, 0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0xFF}, false, "UTF-8"},
      {"reply not pending", encodeReplyFrame(3, {}), false, "not pending"},
      {"truncated", partial, true, "inside a frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = logLines().size();
    withUi([&] {
      const int fd = rawConnect();
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::write(fd, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
      if (c.halfClose) ::shutdown(fd, SHUT_WR);
      EXPECT_TRUE(waitClosedByHost(fd));
      ::close(fd);
    });
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_THAT(lines.back(), HasSubstr(c.logged));
    EXPECT_FALSE(messenger_->uiAttached());
  }
  // Still serving.
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    EXPECT_EQ(ui.call("echo", Bytes{1}), (Bytes{1}));
  });
}

TEST_F(UiBridgeTest, ProtocolErrorCompletesWhatTheUiOwedTheHost) {
  startBridge();
  ReplyLog owed;
  std::atomic<int> fd{-1};
  std::atomic<bool> sent{false};
  std::thread uiThread([&] {
    fd = rawConnect();
    while (!sent) std::this_thread::sleep_for(1ms);
    const Bytes garbage{5, 0, 0, 0, 7, 0, 0, 0, 0};
    ASSERT_EQ(::write(fd, garbage.data(), garbage.size()), 9);
    EXPECT_TRUE(waitClosedByHost(fd));
    ::close(fd);
  });
  ASSERT_TRUE(pumpUntil([&] { return fd >= 0 && messenger_->uiAttached(); }));
  messenger_->sendOnChannel("desktop_drop", Bytes{1}, owed.callback());
  sent = true;
  ASSERT_TRUE(pumpUntil([&] { return !owed.replies.empty(); }));
  uiThread.join();
  drain();
  EXPECT_THAT(owed.replies, ElementsAre(Bytes{}));
}

TEST_F(UiBridgeTest, SecondUiIsRefusedWhileTheFirstStaysServed) {
  startBridge();
  withUi([&] {
    BridgeClient first;
    first.connect(path_);
    EXPECT_EQ(first.call("echo", Bytes{1}), (Bytes{1}));  // surely accepted by now
    const int second = rawConnect();
    ASSERT_GE(second, 0);
    EXPECT_TRUE(waitClosedByHost(second));
    ::close(second);
    EXPECT_EQ(first.call("echo", Bytes{2}), (Bytes{2}));
  });
  EXPECT_TRUE(logged("refused a second UI connection"));
}

// Scripts run one UI command after another: a UI that has just hung up must
// not get the next one refused as a "second" UI.
TEST_F(UiBridgeTest, UiConnectingRightAfterTheLastOneLeftIsServed) {
  startBridge();
  withUi([&] {
    for (uint8_t i = 0; i < 50; ++i) {
      BridgeClient client;
      client.connect(path_);
      EXPECT_EQ(client.call("echo", Bytes{i}), (Bytes{i}));
    }
  });
  EXPECT_FALSE(logged("refused a second UI connection"));
}

TEST_F(UiBridgeTest, PeerOfAnotherUserIsRefused) {
  bridge_ = std::make_unique<UiBridge>(*messenger_);
  bridge_->setExpectedUid(::geteuid() + 1);
  std::string error;
  ASSERT_TRUE(bridge_->listen(path_, &error)) << error;
  withUi([&] {
    const int fd = rawConnect();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(waitClosedByHost(fd));
    ::close(fd);
  });
  EXPECT_FALSE(messenger_->uiAttached());
  EXPECT_TRUE(logged("refused a connection from uid " + std::to_string(::geteuid())));
}

TEST_F(UiBridgeTest, SocketIsPrivateAnnouncedAndRemovedOnDestruction) {
  ::testing::internal::CaptureStderr();
  startBridge();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("UI bridge listening on " + path_ + "\n"), std::string::npos) << err;
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/run/vellumark").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((dir_ + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  bridge_.reset();
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(UiBridgeTest, StaleSocketIsReplacedLiveOneIsNot) {
  std::filesystem::create_directories(dir_ + "/run/vellumark");
  {
    // A socket file whose owner died.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
  }
  startBridge();
  messenger_->sendOnChannel("held", Bytes{1});

  ::testing::internal::CaptureStderr();
  UiBridge second(*messenger_);
  std::string error;
  EXPECT_FALSE(second.listen(path_, &error));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(error, "another host is listening on " + path_);
  EXPECT_FALSE(second.listening());
  drain();  // the probe's connection comes and goes

  // The first host still serves, its socket survived the failed second, and
  // the probe did not take the held message.
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    auto held = ui.nextHostMessage(5s);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->channel, "held");
    EXPECT_EQ(ui.call("echo", Bytes{3}), (Bytes{3}));
  });

  // A folder others may write to could have the socket swapped under us.
  const std::string open = dir_ + "/open";
  std::filesystem::create_directory(open);
  ::chmod(open.c_str(), 0777);
  EXPECT_FALSE(UiBridge(*messenger_).listen(open + "/ui.sock", &error));
  EXPECT_THAT(error, HasSubstr("writable by others"));

  // A file that is not a socket is never replaced.
  const std::string plain = dir_ + "/plain";
  { std::ofstream(plain) << "keep"; }
  UiBridge third(*messenger_);
  EXPECT_FALSE(third.listen(plain, &error));
  EXPECT_THAT(error, HasSubstr("not a socket"));
  EXPECT_TRUE(std::filesystem::is_regular_file(plain));
}

// Another host learns that the path is served from its lock, without
// connecting: a connection the running host could take for its one UI.
TEST_F(UiBridgeTest, SecondHostNeverConnectsToFindTheHostAlive) {
  std::filesystem::create_directories(dir_ + "/run/vellumark");
  ::chmod((dir_ + "/run").c_str(), 0700);
  ::chmod((dir_ + "/run/vellumark").c_str(), 0700);
  // A running host, played by hand: the lock held, a socket that listens.
  const int lockFd = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lockFd, 0);
  ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
  const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listenFd, 4), 0);

  UiBridge second(*messenger_);
  std::string error;
  EXPECT_FALSE(second.listen(path_, &error));
  EXPECT_EQ(error, "another host is listening on " + path_);
  pollfd pfd{listenFd, POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 0) << "the second host connected";
  ::close(listenFd);
  ::close(lockFd);

  // The lock of a host that died is no lock: its socket is stale and replaced.
  startBridge();
  withUi([&] {
    BridgeClient ui;
    ui.connect(path_);
    EXPECT_EQ(ui.call("echo", Bytes{4}), (Bytes{4}));
  });
  bridge_.reset();
  EXPECT_FALSE(std::filesystem::exists(path_ + ".lock"));
}

// A UI on its own thread that connects, then sends and reads nothing until
// stopped: the host's messages to it stay owed.
struct IdleUi {
  explicit IdleUi(const std::string& path)
      : thread([this, path] {
          BridgeClient ui;
          ui.connect(path);
          connected = true;
          while (!done) std::this_thread::sleep_for(1ms);
        }) {}
  ~IdleUi() { stop(); }
  void stop() {
    done = true;
    if (thread.joinable()) thread.join();
  }
  std::atomic<bool> connected{false};
  std::atomic<bool> done{false};
  std::thread thread;
};

TEST_F(UiBridgeTest, EngineGoingFirstSettlesTheUiAndRefusesTheNext) {
  startBridge();
  ReplyLog owed;
  IdleUi ui(path_);
  ASSERT_TRUE(pumpUntil([&] { return ui.connected && messenger_->uiAttached(); }));
  messenger_->sendOnChannel("desktop_drop", Bytes{1}, owed.callback());
  messenger_.reset();
  EXPECT_THAT(owed.replies, ElementsAre(Bytes{}));
  EXPECT_FALSE(bridge_->uiConnected());
  ui.stop();
  withUi([&] {
    const int fd = rawConnect();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(waitClosedByHost(fd));
    ::close(fd);
  });
  EXPECT_TRUE(logged("refused a connection: the engine has gone"));
  bridge_.reset();
}

TEST_F(UiBridgeTest, DestroyingTheBridgeCompletesOwedRepliesAndDetaches) {
  startBridge();
  ReplyLog owed;
  IdleUi ui(path_);
  ASSERT_TRUE(pumpUntil([&] { return ui.connected && messenger_->uiAttached(); }));
  messenger_->sendOnChannel("desktop_drop", Bytes{1}, owed.callback());
  bridge_.reset();
  EXPECT_THAT(owed.replies, ElementsAre(Bytes{}));
  EXPECT_FALSE(messenger_->uiAttached());
}

}  // namespace
}  // namespace vellumark::testing
