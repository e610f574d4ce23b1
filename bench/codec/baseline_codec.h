// BASELINE for the codec benchmark only: a standard codec modelled on the
// published description of the engine's C++ client wrapper (a std::variant
// value with std::map for maps, a writer that appends byte by byte with
// push_back, a reader going through a byte-stream class). Written from that
// description to have a reference to measure against; not used by the host.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace baseline {

struct Value;
using List = std::vector<Value>;
using Map = std::map<Value, Value>;
using Variant = std::variant<std::monostate, bool, int32_t, int64_t, double, std::string,
                             std::vector<uint8_t>, std::vector<int32_t>, std::vector<int64_t>,
                             std::vector<double>, List, Map, std::vector<float>>;

// A wrapper rather than a subclass: the variant's own comparison operators
// would recurse through List and Map.
struct Value {
  Value() = default;
  template <typename T>
  requires(!std::is_same_v<std::decay_t<T>, Value>) Value(T&& t) : v(std::forward<T>(t)) {}
  bool operator<(const Value& o) const;
  Variant v;
};

struct MethodCall {
  std::string method;
  Value arguments;
};

std::vector<uint8_t> encodeMessage(const Value& value);
Value decodeMessage(const uint8_t* data, size_t size);
std::vector<uint8_t> encodeMethodCall(const MethodCall& call);
MethodCall decodeMethodCall(const uint8_t* data, size_t size);
std::vector<uint8_t> encodeSuccessEnvelope(const Value& result);
Value decodeSuccessEnvelope(const uint8_t* data, size_t size);

}  // namespace baseline
