#include "embedding/channel_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vellumark {
namespace {

TEST(ChannelValueTest, EqualityIsDeepAndExact) {
  // The peer has one integer type and the wire width follows the value:
  // widths are not part of a value's identity.
  EXPECT_EQ(ChannelValue(int32_t{1}), ChannelValue(int64_t{1}));
  EXPECT_NE(ChannelValue(int32_t{1}), ChannelValue(int64_t{2}));
  EXPECT_NE(ChannelValue(int64_t{1}), ChannelValue(1.0));
  EXPECT_EQ(ChannelValue(int32_t{1}).asInteger(), ChannelValue(int64_t{1}).asInteger());
  EXPECT_FALSE(ChannelValue(1.0).asInteger());
  // Doubles compare by bits: NaN equals itself, zeros of both signs differ.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ChannelValue(nan), ChannelValue(nan));
  EXPECT_NE(ChannelValue(0.0), ChannelValue(-0.0));
  EXPECT_NE(ChannelValue(ChannelList{}), ChannelValue(ChannelMap{}));
  EXPECT_NE(ChannelValue(ChannelList{1, 2}), ChannelValue(ChannelList{2, 1}));
  EXPECT_EQ(ChannelValue(ChannelList{ChannelValue(nan), ChannelValue("x")}),
            ChannelValue(ChannelList{ChannelValue(nan), ChannelValue("x")}));
  // Typed data of equal bytes but another element type is another value.
  EXPECT_NE(ChannelValue::bytes(Bytes(8)), ChannelValue(FlutterStandardTypedData(
                                               FlutterStandardTypedData::Type::Int64, Bytes(8))));
  EXPECT_NE(ChannelValue::bytes({}), ChannelValue());
}

TEST(ChannelValueTest, AccessorsReadOnlyTheirOwnType) {
  EXPECT_EQ(ChannelValue::bytes({1, 2}).asBytes()->size(), 2u);
  EXPECT_EQ(ChannelValue(FlutterStandardTypedData::typedDataWithInt32({1})).asBytes(), nullptr);
  EXPECT_EQ(ChannelValue("s").asBytes(), nullptr);
  EXPECT_EQ(ChannelValue(false).asBool(), false);
  EXPECT_FALSE(ChannelValue(int32_t{0}).asBool());
  EXPECT_EQ(ChannelValue(int32_t{0}).asString(), nullptr);
}

TEST(ChannelValueTest, TypedDataKeepsLittleEndianElements) {
  const auto ints = FlutterStandardTypedData::typedDataWithInt32({0x12345678, -1});
  EXPECT_EQ(ints.data(), (Bytes{0x78, 0x56, 0x34, 0x12, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(ints.elementCount(), 2u);
  EXPECT_EQ(ints.int32Elements(), (std::vector<int32_t>{0x12345678, -1}));
  const auto longs = FlutterStandardTypedData::typedDataWithInt64({-2, INT64_MAX});
  EXPECT_EQ(longs.int64Elements(), (std::vector<int64_t>{-2, INT64_MAX}));
  const auto floats = FlutterStandardTypedData::typedDataWithFloat32({1.0f, -0.5f});
  EXPECT_EQ(floats.data(), (Bytes{0, 0, 0x80, 0x3f, 0, 0, 0, 0xbf}));
  EXPECT_EQ(floats.float32Elements(), (std::vector<float>{1.0f, -0.5f}));
  const auto doubles = FlutterStandardTypedData::typedDataWithFloat64({1.0});
  EXPECT_EQ(doubles.data(), (Bytes{0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
  EXPECT_EQ(FlutterStandardTypedData::typedDataWithFloat64({}).elementCount(), 0u);
}

TEST(ChannelMapTest, KeepsInsertionOrderAndReplacesInPlace) {
  ChannelMap m{{ChannelValue("b"), 1}, {ChannelValue(int32_t{7}), 2}, {ChannelValue("b"), 3}};
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m.entries()[0], (ChannelMap::Entry{ChannelValue("b"), 3}));
  m.set(ChannelValue("a"), 4);
  m.set(ChannelValue(int32_t{7}), 5);
  EXPECT_EQ(m.entries()[1].second, ChannelValue(int32_t{5}));
  EXPECT_EQ(m.entries()[2].first, ChannelValue("a"));
  EXPECT_EQ(*m.find("a"), ChannelValue(int32_t{4}));
  EXPECT_EQ(m.find("7"), nullptr);  // a string lookup never matches a non-string key
  EXPECT_EQ(*m.find(ChannelValue(int32_t{7})), ChannelValue(int32_t{5}));
  EXPECT_EQ(*m.find(ChannelValue(int64_t{7})), ChannelValue(int32_t{5}));
  EXPECT_TRUE(m.erase(ChannelValue("b")));
  EXPECT_FALSE(m.erase(ChannelValue("b")));
  EXPECT_EQ(m.entries()[0].first, ChannelValue(int32_t{7}));
}

TEST(ChannelMapTest, EqualityIgnoresOrderButNotValues) {
  const ChannelMap ab{{ChannelValue("a"), 1}, {ChannelValue("b"), 2}};
  const ChannelMap ba{{ChannelValue("b"), 2}, {ChannelValue("a"), 1}};
  const ChannelMap other{{ChannelValue("b"), 2}, {ChannelValue("a"), 9}};
  const ChannelMap bigger{{ChannelValue("b"), 2}, {ChannelValue("a"), 1}, {ChannelValue("c"), 1}};
  EXPECT_EQ(ab, ba);
  EXPECT_NE(ab, other);
  EXPECT_NE(ab, bigger);
  EXPECT_NE(bigger, ab);
}

TEST(ChannelMapTest, RemoveDuplicateKeysSmallAndLarge) {
  for (int32_t n : {5, 16, 17, 500}) {
    SCOPED_TRACE(n);
    ChannelMap m;
    // Keys repeat with period 3; NaN keys repeat too (equal by bits).
    for (int32_t i = 0; i < n; ++i) {
      ChannelValue key = i % 3 == 2 ? ChannelValue(std::numeric_limits<double>::quiet_NaN())
                                    : ChannelValue(ChannelList{ChannelValue(i % 3)});
      m.append(std::move(key), ChannelValue(i));
    }
    m.removeDuplicateKeys();
    ASSERT_EQ(m.size(), 3u);
    for (int32_t k = 0; k < 3; ++k) {
      int32_t last = n - 1;
      while (last % 3 != k) --last;
      EXPECT_EQ(m.entries()[static_cast<size_t>(k)].second, ChannelValue(last));
    }
    EXPECT_EQ(m.entries()[0].first, ChannelValue(ChannelList{ChannelValue(int32_t{0})}));
  }
  // Maps as keys: equal regardless of their own order.
  ChannelMap outer;
  outer.append(ChannelValue(ChannelMap{{ChannelValue("x"), 1}, {ChannelValue("y"), 2}}), 1);
  outer.append(ChannelValue(ChannelMap{{ChannelValue("y"), 2}, {ChannelValue("x"), 1}}), 2);
  for (int32_t i = 0; i < 20; ++i) outer.append(ChannelValue(i), i);
  outer.removeDuplicateKeys();
  EXPECT_EQ(outer.size(), 21u);
  EXPECT_EQ(outer.entries()[0].second, ChannelValue(int32_t{2}));
}

}  // namespace
}  // namespace vellumark
