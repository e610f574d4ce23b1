#include "embedding/bridge_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace vellumark::bridge {
namespace {

using ::testing::HasSubstr;

std::vector<Frame> readAll(FrameReader& reader) {
  std::vector<Frame> frames;
  while (auto f = reader.next()) frames.push_back(std::move(*f));
  return frames;
}

TEST(BridgeFrames, EncodingIsPinnedToBytesAndBounded) {
  EXPECT_EQ(encodeMessageFrame("ch", 7, Bytes{0xAA, 0xBB}),
            (Bytes{11, 0, 0, 0, 1, 7, 0, 0, 0, 2, 0, 'c', 'h', 0xAA, 0xBB}));
  EXPECT_EQ(encodeMessageFrame("x", 0, {}), (Bytes{8, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 'x'}));
  EXPECT_EQ(encodeReplyFrame(0x01020304, Bytes{0, 0}), (Bytes{7, 0, 0, 0, 2, 4, 3, 2, 1, 0, 0}));
  // The empty reply is a reply frame with no payload.
  EXPECT_EQ(encodeReplyFrame(9, {}), (Bytes{5, 0, 0, 0, 2, 9, 0, 0, 0}));
  // What cannot travel is refused.
  EXPECT_THROW(encodeMessageFrame("", 1, {}), FrameError);
  EXPECT_THROW(encodeMessageFrame(std::string(kMaxChannelNameLength + 1, 'a'), 1, {}), FrameError);
  EXPECT_NO_THROW(encodeMessageFrame(std::string(kMaxChannelNameLength, 'a'), 1, {}));
  EXPECT_THROW(encodeMessageFrame("\xC0\xAF", 1, {}), FrameError);
  // One byte past the limit: length field would be kMaxFrameLength + 1.
  Bytes big(kMaxFrameLength - kFrameHeaderSize + 1);
  EXPECT_THROW(encodeReplyFrame(1, big), FrameError);
}

TEST(BridgeFrames, ReaderReassemblesAnySplitOfAStream) {
  const std::vector<Frame> frames = {
      {FrameKind::Message, 1, "tessel_macos", {7, 1, 'x', 0}},
      {FrameKind::Reply, 5, "", {}},
      {FrameKind::Message, 0, "caf\xC3\xA9/events", {}},
      {FrameKind::Reply, 0xFFFFFFFF, "", Bytes(300, 0x5A)},
  };
  Bytes stream;
  for (const auto& f : frames) {
    Bytes b = encodeFrame(f);
    stream.insert(stream.end(), b.begin(), b.end());
  }
  // Every two-way split of the stream.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameReader reader;
    reader.feed(std::span(stream).first(cut));
    auto got = readAll(reader);
    reader.feed(std::span(stream).subspan(cut));
    auto rest = readAll(reader);
    got.insert(got.end(), rest.begin(), rest.end());
    ASSERT_EQ(got, frames) << "cut at " << cut;
    EXPECT_EQ(reader.buffered(), 0u);
  }
  // A long stream in odd chunks, so consumed bytes are dropped while a frame
  // is still incomplete.
  FrameReader reader;
  size_t count = 0;
  Bytes longStream;
  for (int i = 0; i < 200; ++i) longStream.insert(longStream.end(), stream.begin(), stream.end());
  for (size_t pos = 0; pos < longStream.size(); pos += 997) {
    reader.feed(std::span(longStream).subspan(pos, std::min<size_t>(997, longStream.size() - pos)));
    for (auto got = reader.next(); got; got = reader.next()) {
      ASSERT_EQ(*got, frames[count % frames.size()]) << "frame " << count;
      ++count;
    }
  }
  EXPECT_EQ(count, 200 * frames.size());
}

TEST(BridgeFrames, ReaderReportsProtocolErrorsAndStops) {
  struct Case {
    const char* name;
    Bytes bytes;
    const char* error;
  };
  const std::vector<Case> cases = {
      // Refused from the length field alone, before any body arrives.
      {"too long", {0x01, 0x00, 0x00, 0x04}, "exceeds"},
      {"shorter than header", {4, 0, 0, 0, 1, 0, 0, 0}, "shorter than its header"},
      // Refused once the kind byte is in, without waiting for the body.
      {"unknown kind", {100, 0, 0, 0, 3}, "unknown frame kind 3"},
      {"kind zero", {5, 0, 0, 0, 0, 0, 0, 0, 0}, "unknown frame kind 0"},
      {"no name length", {6, 0, 0, 0, 1, 0, 0, 0, 0, 9}, "too short"},
      {"name past end", {9, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 'a', 'b'}, "past the frame end"},
      {"empty name", {7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, "empty channel name"},
      {"invalid utf-8 name", {9, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 0xED, 0xA0}, "UTF-8"},
      {"surrogate in name", {10, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0xED, 0xA0, 0x80}, "UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    // A good frame before the bad one still comes out.
    reader.feed(encodeReplyFrame(1, Bytes{1}));
    reader.feed(c.bytes);
    auto good = reader.next();
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->id, 1u);
    EXPECT_FALSE(reader.next().has_value());
    ASSERT_TRUE(reader.failed());
    EXPECT_THAT(reader.error(), HasSubstr(c.error));
    // Nothing more after an error, even valid frames.
    reader.feed(encodeReplyFrame(2, {}));
    EXPECT_FALSE(reader.next().has_value());
  }
}

TEST(BridgeFrames, ReaderLimitIsInclusive) {
  FrameReader reader(16);
  Bytes atLimit = encodeReplyFrame(1, Bytes(11, 1));  // length 16
  reader.feed(atLimit);
  ASSERT_TRUE(reader.next().has_value());
  reader.feed(encodeReplyFrame(2, Bytes(12, 1)));  // length 17
  EXPECT_FALSE(reader.next().has_value());
  EXPECT_TRUE(reader.failed());
}

TEST(BridgeSocketPath, FollowsTheEnvironmentInOrder) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"VELLUMARK_UI_SOCKET", "/x/y.sock"}, {"XDG_RUNTIME_DIR", "/run/user/5"}}, "/x/y.sock"},
      {{{"VELLUMARK_UI_SOCKET", ""}, {"XDG_RUNTIME_DIR", "/run/user/5"}},
       "/run/user/5/vellumark/ui.sock"},
      {{{"XDG_RUNTIME_DIR", "/run/user/5/"}}, "/run/user/5/vellumark/ui.sock"},
      {{{"XDG_RUNTIME_DIR", ""}}, "/tmp/vellumark-1234/ui.sock"},
      {{}, "/tmp/vellumark-1234/ui.sock"},
  };
  for (const auto& c : cases) {
    auto lookup = [&](const char* name) -> const char* {
      auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    };
    EXPECT_EQ(socketPath(lookup, 1234), c.expected);
  }
}

}  // namespace
}  // namespace vellumark::bridge
