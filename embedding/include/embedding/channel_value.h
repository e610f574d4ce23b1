// Values carried by platform channels: the standard codec's data model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vellumark {

using Bytes = std::vector<uint8_t>;

// Typed numeric data. Elements are kept as their little-endian bytes, exactly
// as they travel, so encoding and decoding are plain copies.
class FlutterStandardTypedData {
 public:
  enum class Type : uint8_t { UInt8, Int32, Int64, Float32, Float64 };

  FlutterStandardTypedData() = default;
  FlutterStandardTypedData(Type type, Bytes data) : type_(type), data_(std::move(data)) {}

  static FlutterStandardTypedData typedDataWithBytes(Bytes bytes) {
    return {Type::UInt8, std::move(bytes)};
  }
  static FlutterStandardTypedData typedDataWithInt32(const std::vector<int32_t>& v);
  static FlutterStandardTypedData typedDataWithInt64(const std::vector<int64_t>& v);
  static FlutterStandardTypedData typedDataWithFloat32(const std::vector<float>& v);
  static FlutterStandardTypedData typedDataWithFloat64(const std::vector<double>& v);

  Type type() const { return type_; }
  const Bytes& data() const { return data_; }
  Bytes& mutableData() { return data_; }
  size_t elementSize() const { return elementSize(type_); }
  size_t elementCount() const { return data_.size() / elementSize(type_); }
  static size_t elementSize(Type t);

  std::vector<int32_t> int32Elements() const;
  std::vector<int64_t> int64Elements() const;
  std::vector<float> float32Elements() const;
  std::vector<double> float64Elements() const;

  bool operator==(const FlutterStandardTypedData& o) const = default;

 private:
  Type type_ = Type::UInt8;
  Bytes data_;
};

// A value of a codec extension (type bytes 128..255). The extension's reader
// builds it and its writer recognises it; the standard codec never sees one.
class CustomRecord {
 public:
  virtual ~CustomRecord() = default;
  virtual bool equals(const CustomRecord& other) const = 0;
  virtual std::string describe() const = 0;
};

class ChannelValue;
using ChannelList = std::vector<ChannelValue>;

// A map that keeps insertion order and takes any value as key.
class ChannelMap {
 public:
  using Entry = std::pair<ChannelValue, ChannelValue>;

  ChannelMap() = default;
  ChannelMap(std::initializer_list<Entry> entries);
  // Takes the entries as they are; call removeDuplicateKeys() if keys may repeat.
  explicit ChannelMap(std::vector<Entry> entries);

  // Replaces the value of an equal key in place, or appends.
  void set(ChannelValue key, ChannelValue value);
  // Appends without looking for an equal key (decoders of trusted sizes).
  void append(ChannelValue key, ChannelValue value);
  const ChannelValue* find(std::string_view key) const;
  const ChannelValue* find(const ChannelValue& key) const;
  // String literals and std::string convert to both of the above.
  const ChannelValue* find(const char* key) const { return find(std::string_view(key)); }
  const ChannelValue* find(const std::string& key) const { return find(std::string_view(key)); }
  bool erase(const ChannelValue& key);
  // Keeps the first place of each key with its last value (what decoders do
  // after append(): the peer's last duplicate wins). Linear time.
  void removeDuplicateKeys();

  // Defined below ChannelValue: Entry must be complete first (clang insists).
  size_t size() const;
  bool empty() const;
  void reserve(size_t n);
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;
  const std::vector<Entry>& entries() const { return entries_; }

  bool operator==(const ChannelMap& o) const;

 private:
  std::vector<Entry> entries_;
};

class ChannelValue {
 public:
  using Custom = std::shared_ptr<const CustomRecord>;
  using Storage = std::variant<std::monostate, bool, int32_t, int64_t, double, std::string,
                               FlutterStandardTypedData, ChannelList, ChannelMap, Custom>;

  ChannelValue() = default;
  ChannelValue(std::nullptr_t) {}
  ChannelValue(bool b) : v_(b) {}
  ChannelValue(int32_t i) : v_(i) {}
  ChannelValue(int64_t i) : v_(i) {}
  ChannelValue(double d) : v_(d) {}
  ChannelValue(const char* s) : v_(std::string(s)) {}
  ChannelValue(std::string s) : v_(std::move(s)) {}
  ChannelValue(std::string_view s) : v_(std::string(s)) {}
  ChannelValue(FlutterStandardTypedData d) : v_(std::move(d)) {}
  ChannelValue(ChannelList l) : v_(std::move(l)) {}
  ChannelValue(ChannelMap m) : v_(std::move(m)) {}
  ChannelValue(Custom c) : v_(std::move(c)) {}

  // Typed bytes (FlutterStandardTypedData of UInt8).
  static ChannelValue bytes(Bytes b) {
    return ChannelValue(FlutterStandardTypedData::typedDataWithBytes(std::move(b)));
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <typename T>
  const T& get() const {
    return std::get<T>(v_);
  }
  template <typename T>
  T& get() {
    return std::get<T>(v_);
  }
  template <typename T>
  const T* getIf() const {
    return std::get_if<T>(&v_);
  }

  bool isInteger() const { return is<int32_t>() || is<int64_t>(); }
  // int32 or int64 widened; nullopt for anything else.
  std::optional<int64_t> asInteger() const;
  // The UInt8 typed data's bytes, or nullptr when this is not typed bytes.
  const Bytes* asBytes() const;
  const std::string* asString() const { return getIf<std::string>(); }
  const ChannelList* asList() const { return getIf<ChannelList>(); }
  const ChannelMap* asMap() const { return getIf<ChannelMap>(); }
  std::optional<bool> asBool() const;

  const Storage& storage() const { return v_; }
  size_t index() const { return v_.index(); }

  // Deep equality. Doubles compare by bit pattern so that NaN equals itself;
  // integers compare by value whatever their width.
  bool operator==(const ChannelValue& o) const;

 private:
  Storage v_;
};

inline ChannelMap::ChannelMap(std::vector<Entry> entries) : entries_(std::move(entries)) {}
inline void ChannelMap::append(ChannelValue key, ChannelValue value) {
  entries_.emplace_back(std::move(key), std::move(value));
}
inline size_t ChannelMap::size() const { return entries_.size(); }
inline bool ChannelMap::empty() const { return entries_.empty(); }
inline void ChannelMap::reserve(size_t n) { entries_.reserve(n); }
inline std::vector<ChannelMap::Entry>::const_iterator ChannelMap::begin() const {
  return entries_.begin();
}
inline std::vector<ChannelMap::Entry>::const_iterator ChannelMap::end() const {
  return entries_.end();
}

}  // namespace vellumark
