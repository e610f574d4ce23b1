// Deep equality and hashing of record list forms, and the error wrapping.
#include "embedding/pigeon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace vellumark::pigeon {
namespace {

using ::testing::StartsWith;

TEST(PigeonDeepEquality, FollowsListsMapsAndNull) {
  const ChannelValue a = ChannelList{1, ChannelMap{{"x", ChannelList{}}, {"y", {}}}, "s"};
  const ChannelValue sameOtherOrder =
      ChannelList{1, ChannelMap{{"y", {}}, {"x", ChannelList{}}}, "s"};
  EXPECT_TRUE(deepEquals(a, sameOtherOrder));
  EXPECT_EQ(deepHash(a), deepHash(sameOtherOrder));
  EXPECT_TRUE(deepEquals({}, {}));
  EXPECT_FALSE(deepEquals({}, 0));
  EXPECT_FALSE(deepEquals(ChannelList{1}, ChannelList{1, 2}));
  EXPECT_FALSE(deepEquals(ChannelMap{{"x", 1}}, ChannelMap{{"y", 1}}));
  EXPECT_FALSE(deepEquals(ChannelMap{{"x", 1}}, ChannelMap{{"x", 1}, {"y", 1}}));
  // Integers compare (and hash) by value whatever their width.
  EXPECT_TRUE(deepEquals(int32_t{5}, int64_t{5}));
  EXPECT_EQ(deepHash(int32_t{5}), deepHash(int64_t{5}));
  EXPECT_NE(deepHash(ChannelList{1, 2}), deepHash(ChannelList{2, 1}));
}

TEST(PigeonErrorWrapping, ThreeCases) {
  EXPECT_EQ(wrapError(std::make_exception_ptr(PigeonError{"c", std::nullopt, 3})),
            ChannelValue(ChannelList{"c", {}, 3}));
  EXPECT_EQ(wrapError(std::make_exception_ptr(ChannelError::errorWithCode("E", "m", "d"))),
            ChannelValue(ChannelList{"E", "m", "d"}));
  const ChannelValue other = wrapError(std::make_exception_ptr(std::invalid_argument("bad \"x\"")));
  const ChannelList& list = *other.asList();
  ASSERT_EQ(list.size(), 3U);
  EXPECT_EQ(list[0], ChannelValue("bad \"x\""));
  EXPECT_EQ(list[1], ChannelValue("invalid_argument"));
  EXPECT_THAT(*list[2].asString(), StartsWith("Stacktrace: [\""));
  EXPECT_EQ(list[2].asString()->back(), ']');
  // Not even an exception class.
  const ChannelValue odd = wrapError(std::make_exception_ptr(42));
  EXPECT_EQ(odd.asList()->at(1), ChannelValue("int"));
  EXPECT_EQ(wrapResult({}), ChannelValue(ChannelList{ChannelValue()}));
}

TEST(PigeonRequestEnvelope, NamesTheFaultyArgument) {
  auto message = [](const ChannelValue& request, auto read) -> std::string {
    try {
      read(RequestEnvelope(request, "op", 2));
    } catch (const PigeonError& e) {
      EXPECT_EQ(e.code, "invalid-args");
      return e.message.value_or("");
    }
    return "no error";
  };
  const auto readString = [](const RequestEnvelope& r) { r.stringArg(1, "key"); };
  EXPECT_EQ(message(ChannelValue(), readString),
            "op: the request must be a list of 2 arguments, got null");
  EXPECT_EQ(message(ChannelList{1}, readString), "op: the request must hold 2 arguments, got 1");
  EXPECT_EQ(message(ChannelList{1, 2}, readString),
            "op: argument 1 (key) must be a string, got an integer");
  EXPECT_EQ(message(ChannelList{1, MalformedRecord::make(130, "why")}, readString),
            "op: argument 1 (key) must be a string, got a malformed record: why");
  EXPECT_EQ(message(ChannelList{1, 2}, [](const RequestEnvelope& r) { r.doubleArg(1, "d"); }),
            "no error");
  EXPECT_EQ(message(ChannelList{1, {}},
                    [](const RequestEnvelope& r) {
                      EXPECT_EQ(r.optionalStringListArg(1, "l"), std::nullopt);
                    }),
            "no error");
}

TEST(PigeonChannelNames, SuffixIsAppendedWhenGiven) {
  EXPECT_EQ(channelName("pkg", "Api", "op", ""), "dev.flutter.pigeon.pkg.Api.op");
  EXPECT_EQ(channelName("pkg", "Api", "op", "2"), "dev.flutter.pigeon.pkg.Api.op.2");
}

}  // namespace
}  // namespace vellumark::pigeon
