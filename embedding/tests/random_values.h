// Seeded random channel values for round-trip tests.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "embedding/channel_value.h"

namespace vellumark::testing {

class RandomValues {
 public:
  explicit RandomValues(uint32_t seed) : rng_(seed) {}

  // Any value the standard codec carries, nested up to `depth` containers.
  // int64 values lie outside int32 range, as a value-range encoder would keep them.
  ChannelValue value(int depth = 4) {
    const size_t kinds = depth > 0 ? 14 : 12;
    switch (pick(kinds)) {
      case 0:
        return ChannelValue();
      case 1:
        return ChannelValue(pick(2) == 0);
      case 2:
        return ChannelValue(static_cast<int32_t>(rng_()));
      case 3: {
        int64_t v = static_cast<int64_t>(u64());
        if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
          v = v < 0 ? v - (int64_t{1} << 40) : v + (int64_t{1} << 40);
        }
        return ChannelValue(v);
      }
      case 4:
        return ChannelValue(anyDouble());
      case 5:
        return ChannelValue(string());
      case 6:
        return ChannelValue::bytes(rawBytes(count(), 1));
      case 7:
        return ChannelValue(
            FlutterStandardTypedData(FlutterStandardTypedData::Type::Int32, rawBytes(count(), 4)));
      case 8:
        return ChannelValue(
            FlutterStandardTypedData(FlutterStandardTypedData::Type::Int64, rawBytes(count(), 8)));
      case 9:
        return ChannelValue(FlutterStandardTypedData(FlutterStandardTypedData::Type::Float32,
                                                     rawBytes(count(), 4)));
      case 10:
        return ChannelValue(FlutterStandardTypedData(FlutterStandardTypedData::Type::Float64,
                                                     rawBytes(count(), 8)));
      case 11:
        return ChannelValue(std::string(pick(300), 'x'));  // crosses the 1-byte size form
      case 12: {
        ChannelList list;
        const size_t n = count();
        for (size_t i = 0; i < n; ++i) list.push_back(value(depth - 1));
        return ChannelValue(std::move(list));
      }
      default: {
        ChannelMap map;
        const size_t n = count();
        for (size_t i = 0; i < n; ++i) {
          // Mostly string keys (the object form of typed JSON), sometimes any value.
          ChannelValue key = pick(3) == 0 ? value(depth - 1) : ChannelValue(string());
          map.set(std::move(key), value(depth - 1));
        }
        return ChannelValue(std::move(map));
      }
    }
  }

  // Every bit pattern, NaN payloads and subnormals included.
  double anyDouble() {
    switch (pick(4)) {
      case 0:
        return static_cast<double>(static_cast<int32_t>(rng_() % 2000) - 1000);
      case 1:
        return std::bit_cast<double>(u64());
      default:
        return std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
    }
  }

  std::string string() {
    static const char* const kPieces[] = {"a",
                                          "Z",
                                          "0",
                                          " ",
                                          "$",
                                          "\"",
                                          "\\",
                                          "\n",
                                          "\x01",
                                          "\xc3\xa9",
                                          "\xe2\x98\xba",
                                          "\xf0\x9f\x98\x82",
                                          "key"};
    std::string s;
    const size_t n = pick(8);
    for (size_t i = 0; i < n; ++i) s += kPieces[pick(std::size(kPieces))];
    return s;
  }

  Bytes rawBytes(size_t elements, size_t size) {
    Bytes b(elements * size);
    for (auto& x : b) x = static_cast<uint8_t>(rng_());
    return b;
  }

  size_t pick(size_t n) { return static_cast<size_t>(rng_() % n); }
  size_t count() { return pick(6); }
  uint64_t u64() { return (uint64_t{rng_()} << 32) | rng_(); }
  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

}  // namespace vellumark::testing
