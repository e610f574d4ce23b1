#include "embedding/channel_value.h"

#include <bit>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace vellumark {

namespace {

static_assert(std::endian::native == std::endian::little,
              "typed data keeps little-endian element bytes and copies them as is");

template <typename T>
Bytes packElements(const std::vector<T>& values) {
  Bytes out(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

template <typename T>
std::vector<T> unpackElements(const Bytes& data) {
  std::vector<T> out(data.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), data.data(), out.size() * sizeof(T));
  return out;
}

uint64_t doubleBits(double d) { return std::bit_cast<uint64_t>(d); }

size_t mix(size_t seed, size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hashValue(const ChannelValue& value);

struct Hasher {
  size_t operator()(std::monostate) const { return 0x6e756c6cU; }
  size_t operator()(bool b) const { return b ? 0x74727565U : 0x66616c73U; }
  size_t operator()(int32_t i) const { return std::hash<int64_t>{}(i); }
  size_t operator()(int64_t i) const { return std::hash<int64_t>{}(i); }
  size_t operator()(double d) const { return std::hash<uint64_t>{}(doubleBits(d)); }
  size_t operator()(const std::string& s) const { return std::hash<std::string>{}(s); }
  size_t operator()(const FlutterStandardTypedData& t) const {
    std::string_view raw(reinterpret_cast<const char*>(t.data().data()), t.data().size());
    return mix(static_cast<size_t>(t.type()), std::hash<std::string_view>{}(raw));
  }
  size_t operator()(const ChannelList& l) const {
    size_t h = l.size();
    for (const auto& v : l) h = mix(h, hashValue(v));
    return h;
  }
  size_t operator()(const ChannelMap& m) const {
    // Order-free, as map equality is.
    size_t h = 0;
    for (const auto& [k, v] : m) h += mix(hashValue(k), hashValue(v));
    return mix(m.size(), h);
  }
  // Records only know equality; they all share one bucket.
  size_t operator()(const ChannelValue::Custom&) const { return 0xc0570fU; }
};

size_t hashValue(const ChannelValue& value) {
  // Integers hash by value whatever their width, as they compare.
  const size_t kind = value.is<int64_t>() ? ChannelValue(int32_t{0}).index() : value.index();
  return mix(kind, std::visit(Hasher{}, value.storage()));
}

}  // namespace

// ---- FlutterStandardTypedData ------------------------------------------------

size_t FlutterStandardTypedData::elementSize(Type t) {
  switch (t) {
    case Type::UInt8:
      return 1;
    case Type::Int32:
    case Type::Float32:
      return 4;
    case Type::Int64:
    case Type::Float64:
      return 8;
  }
  return 1;
}

FlutterStandardTypedData FlutterStandardTypedData::typedDataWithInt32(
    const std::vector<int32_t>& v) {
  return {Type::Int32, packElements(v)};
}
FlutterStandardTypedData FlutterStandardTypedData::typedDataWithInt64(
    const std::vector<int64_t>& v) {
  return {Type::Int64, packElements(v)};
}
FlutterStandardTypedData FlutterStandardTypedData::typedDataWithFloat32(
    const std::vector<float>& v) {
  return {Type::Float32, packElements(v)};
}
FlutterStandardTypedData FlutterStandardTypedData::typedDataWithFloat64(
    const std::vector<double>& v) {
  return {Type::Float64, packElements(v)};
}

std::vector<int32_t> FlutterStandardTypedData::int32Elements() const {
  return unpackElements<int32_t>(data_);
}
std::vector<int64_t> FlutterStandardTypedData::int64Elements() const {
  return unpackElements<int64_t>(data_);
}
std::vector<float> FlutterStandardTypedData::float32Elements() const {
  return unpackElements<float>(data_);
}
std::vector<double> FlutterStandardTypedData::float64Elements() const {
  return unpackElements<double>(data_);
}

// ---- ChannelMap --------------------------------------------------------------

ChannelMap::ChannelMap(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& [k, v] : entries) set(k, v);
}

void ChannelMap::set(ChannelValue key, ChannelValue value) {
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const ChannelValue* ChannelMap::find(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    const std::string* s = k.asString();
    if (s != nullptr && *s == key) return &v;
  }
  return nullptr;
}

const ChannelValue* ChannelMap::find(const ChannelValue& key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return &v;
  }
  return nullptr;
}

bool ChannelMap::erase(const ChannelValue& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

void ChannelMap::removeDuplicateKeys() {
  const size_t n = entries_.size();
  if (n < 2) return;
  // Small maps (the usual case) compare pairwise without allocating; large ones
  // hash, so a hostile message of many keys costs linear time, not quadratic.
  constexpr size_t kPairwiseLimit = 16;
  if (n <= kPairwiseLimit) {
    // String keys, the usual kind, compare without the general visit.
    const auto sameKey = [](const ChannelValue& a, const ChannelValue& b) {
      const std::string* sa = a.asString();
      const std::string* sb = b.asString();
      if (sa != nullptr && sb != nullptr) return *sa == *sb;
      return a == b;
    };
    uint32_t droppedMask = 0;
    for (size_t i = 1; i < n; ++i) {
      for (size_t j = 0; j < i; ++j) {
        if ((droppedMask >> j & 1U) == 0 && sameKey(entries_[j].first, entries_[i].first)) {
          entries_[j].second = std::move(entries_[i].second);
          droppedMask |= 1U << i;
          break;
        }
      }
    }
    if (droppedMask == 0) return;
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
      if (droppedMask >> i & 1U) continue;
      if (out != i) entries_[out] = std::move(entries_[i]);
      ++out;
    }
    entries_.resize(out);
    return;
  }
  std::vector<bool> dropped(n, false);
  bool any = false;
  {
    size_t slots = 1;
    while (slots < 2 * n) slots <<= 1;
    constexpr size_t kEmpty = SIZE_MAX;
    std::vector<size_t> table(slots, kEmpty);
    std::vector<size_t> hashes(n);
    for (size_t i = 0; i < n; ++i) {
      hashes[i] = hashValue(entries_[i].first);
      size_t slot = hashes[i] & (slots - 1);
      while (true) {
        size_t j = table[slot];
        if (j == kEmpty) {
          table[slot] = i;
          break;
        }
        if (hashes[j] == hashes[i] && entries_[j].first == entries_[i].first) {
          entries_[j].second = std::move(entries_[i].second);
          dropped[i] = true;
          any = true;
          break;
        }
        slot = (slot + 1) & (slots - 1);
      }
    }
  }
  if (!any) return;
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (dropped[i]) continue;
    if (out != i) entries_[out] = std::move(entries_[i]);
    ++out;
  }
  entries_.resize(out);
}

bool ChannelMap::operator==(const ChannelMap& o) const {
  if (entries_.size() != o.entries_.size()) return false;
  // Same order is the common case and needs one pass.
  bool sameOrder = true;
  for (size_t i = 0; i < entries_.size() && sameOrder; ++i) {
    sameOrder = entries_[i].first == o.entries_[i].first;
  }
  if (sameOrder) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (!(entries_[i].second == o.entries_[i].second)) return false;
    }
    return true;
  }
  for (const auto& [k, v] : entries_) {
    const ChannelValue* other = o.find(k);
    if (other == nullptr || !(*other == v)) return false;
  }
  return true;
}

// ---- ChannelValue ------------------------------------------------------------

std::optional<int64_t> ChannelValue::asInteger() const {
  if (const auto* i = getIf<int32_t>()) return *i;
  if (const auto* i = getIf<int64_t>()) return *i;
  return std::nullopt;
}

const Bytes* ChannelValue::asBytes() const {
  const auto* t = getIf<FlutterStandardTypedData>();
  if (t == nullptr || t->type() != FlutterStandardTypedData::Type::UInt8) return nullptr;
  return &t->data();
}

std::optional<bool> ChannelValue::asBool() const {
  if (const auto* b = getIf<bool>()) return *b;
  return std::nullopt;
}

bool ChannelValue::operator==(const ChannelValue& o) const {
  // The peer has one integer type: the wire width follows the value, so an
  // int32 and an int64 of the same value are the same value (and the same
  // map key).
  if (isInteger() && o.isInteger()) return *asInteger() == *o.asInteger();
  if (v_.index() != o.v_.index()) return false;
  // Map keys are nearly always strings: skip the visit for them.
  if (v_.index() == 5) return std::get<std::string>(v_) == std::get<std::string>(o.v_);
  return std::visit(
      [&o](const auto& a) -> bool {
        using T = std::decay_t<decltype(a)>;
        const T& b = std::get<T>(o.v_);
        if constexpr (std::is_same_v<T, double>) {
          return doubleBits(a) == doubleBits(b);
        } else if constexpr (std::is_same_v<T, Custom>) {
          if (!a || !b) return !a && !b;
          return a->equals(*b);
        } else if constexpr (std::is_same_v<T, std::monostate>) {
          return true;
        } else {
          return a == b;
        }
      },
      v_);
}

}  // namespace vellumark
