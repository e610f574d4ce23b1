// The client against a scripted host: a plain listening socket this test
// drives by hand, writing frames ahead of the client's reads.
#include "embedding/bridge_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace vellumark::bridge {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class ScriptedHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "bridge-client-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/ui.sock";
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(listenFd_, 4), 0);
    client_.connect(path_);
    hostFd_ = ::accept(listenFd_, nullptr, nullptr);
    ASSERT_GE(hostFd_, 0);
  }
  void TearDown() override {
    client_.close();
    if (hostFd_ >= 0) ::close(hostFd_);
    ::close(listenFd_);
    std::filesystem::remove_all(dir_);
  }

  void hostWrite(const Bytes& bytes) {
    ASSERT_EQ(::write(hostFd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The frames the client has written so far.
  std::vector<Frame> hostRead() {
    uint8_t buf[4096];
    const ssize_t n = ::recv(hostFd_, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) hostReader_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
    std::vector<Frame> frames;
    while (auto f = hostReader_.next()) frames.push_back(std::move(*f));
    return frames;
  }

  std::string dir_, path_;
  int listenFd_ = -1;
  int hostFd_ = -1;
  BridgeClient client_;
  FrameReader hostReader_;
};

TEST_F(ScriptedHost, CallQueuesHostMessagesThatArriveBeforeTheReply) {
  hostWrite(encodeMessageFrame("window_manager", 0, Bytes{1}));
  hostWrite(encodeMessageFrame("desktop_drop", 4, Bytes{2}));
  hostWrite(encodeReplyFrame(1, Bytes{0, 0}));
  EXPECT_EQ(client_.call("tessel_macos", Bytes{9, 9}), (Bytes{0, 0}));

  const auto sent = hostRead();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (Frame{FrameKind::Message, 1, "tessel_macos", {9, 9}}));

  auto first = client_.nextHostMessage(1s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->channel, "window_manager");
  EXPECT_EQ(first->id, 0u);
  auto second = client_.nextHostMessage(1s);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->channel, "desktop_drop");
  EXPECT_EQ(second->id, 4u);
  client_.reply(second->id, Bytes{0, 0});
  client_.send("ping", {});
  const auto more = hostRead();
  ASSERT_EQ(more.size(), 2u);
  EXPECT_EQ(more[0], (Frame{FrameKind::Reply, 4, "", {0, 0}}));
  EXPECT_EQ(more[1], (Frame{FrameKind::Message, 0, "ping", {}}));
  EXPECT_FALSE(client_.nextHostMessage(10ms));
}

TEST_F(ScriptedHost, LateReplyToATimedOutCallIsDroppedAndIdsStayDistinct) {
  EXPECT_THROW(client_.call("slow", {}, 30ms), BridgeTimeout);
  EXPECT_TRUE(client_.connected());
  // The late answer to id 1 arrives before the answer to the next call.
  hostWrite(encodeReplyFrame(1, Bytes{1}));
  hostWrite(encodeReplyFrame(2, Bytes{2}));
  EXPECT_EQ(client_.call("fast", {}), (Bytes{2}));
  const auto sent = hostRead();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].id, 1u);
  EXPECT_EQ(sent[1].id, 2u);
}

TEST_F(ScriptedHost, HostFaultsEndTheConnectionWithAnError) {
  // A reply nobody asked for is a protocol error.
  hostWrite(encodeReplyFrame(77, {}));
  try {
    client_.call("x", {});
    FAIL() << "expected an error";
  } catch (const BridgeTimeout&) {
    FAIL() << "not a timeout";
  } catch (const BridgeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("not pending"));
  }
  EXPECT_FALSE(client_.connected());
  EXPECT_THROW(client_.send("x", {}), BridgeError);
}

TEST_F(ScriptedHost, NoTimeoutWaitsForTheAnswer) {
  // Answered only once the call is waiting: an unbounded wait that had
  // become a zero one (a deadline overflow) would find nothing yet.
  std::thread host([this] {
    uint8_t byte = 0;
    ::recv(hostFd_, &byte, 1, MSG_PEEK);  // the call has been sent
    std::this_thread::sleep_for(100ms);   // ordering only; nothing is timed
    hostWrite(encodeReplyFrame(1, Bytes{3}));
  });
  EXPECT_EQ(client_.call("tessel_macos", {}, BridgeClient::kNoTimeout), (Bytes{3}));
  host.join();
  EXPECT_FALSE(client_.nextHostMessage(10ms));
}

// A host that accepts nothing (its main loop hangs) fills its backlog; the
// next client must give up, not hang.
TEST(BridgeClientConnect, HostTakingNoConnectionTimesOut) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "bridge-client-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string path = tmpl + "/ui.sock";
  const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listenFd, 0), 0);
  std::vector<int> queued;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd);
      break;
    }
    queued.push_back(fd);
  }
  ASSERT_LT(queued.size(), 64u) << "the backlog never filled";

  BridgeClient client;
  try {
    client.connect(path, 100ms);
    FAIL() << "connected";
  } catch (const BridgeConnectError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot connect to " + path +
                                    ": the host took no connection within 0.1 s"));
  }
  EXPECT_FALSE(client.connected());
  for (int fd : queued) ::close(fd);
  ::close(listenFd);
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace vellumark::bridge
