#include "defaults_plist.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace vellumark::linux_platform::defaults {
namespace {

using platform::DefaultsArray;
using platform::DefaultsData;
using platform::DefaultsDate;
using platform::DefaultsDictionary;
using platform::DefaultsValue;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

constexpr double kMicrosecondsPerSecond = 1e6;

// Nesting of a node, stopping once past `limit`.
bool nestsWithin(plist_t node, size_t depth, size_t limit) {
  if (depth > limit) return false;
  const plist_type type = plist_get_node_type(node);
  if (type == PLIST_ARRAY) {
    const uint32_t n = plist_array_get_size(node);
    for (uint32_t i = 0; i < n; ++i) {
      if (!nestsWithin(plist_array_get_item(node, i), depth + 1, limit)) return false;
    }
  } else if (type == PLIST_DICT) {
    plist_dict_iter raw = nullptr;
    plist_dict_new_iter(node, &raw);
    MallocPtr<void> iter(raw);
    for (;;) {
      char* rawKey = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, raw, &rawKey, &value);
      MallocPtr<char> key(rawKey);
      if (value == nullptr) break;
      if (!nestsWithin(value, depth + 1, limit)) return false;
    }
  }
  return true;
}

std::string reasonFor(const DefaultsValue& value, size_t depth) {
  if (depth > kMaxNesting) return "nested deeper than " + std::to_string(kMaxNesting) + " levels";
  if (const auto* s = value.getIf<std::string>()) {
    if (s->find('\0') != std::string::npos) return "a string holds a NUL character";
  } else if (const auto* array = value.getIf<DefaultsArray>()) {
    for (const auto& element : *array) {
      std::string why = reasonFor(element, depth + 1);
      if (!why.empty()) return why;
    }
  } else if (const auto* dict = value.getIf<DefaultsDictionary>()) {
    for (const auto& [key, element] : *dict) {
      if (key.find('\0') != std::string::npos) return "a key holds a NUL character";
      std::string why = reasonFor(element, depth + 1);
      if (!why.empty()) return why;
    }
  } else if (const auto* date = value.getIf<DefaultsDate>()) {
    if (!std::isfinite(date->secondsSinceReferenceDate) ||
        std::fabs(date->secondsSinceReferenceDate) >= std::numeric_limits<int32_t>::max()) {
      return "a date is out of range";
    }
  }
  return {};
}

// Reads a big-endian unsigned number of `width` bytes at `at`.
bool readBig(std::string_view bytes, uint64_t at, uint64_t width, uint64_t& out) {
  if (width == 0 || width > 8 || at > bytes.size() || width > bytes.size() - at) return false;
  out = 0;
  for (uint64_t i = 0; i < width; ++i) out = (out << 8) | static_cast<uint8_t>(bytes[at + i]);
  return true;
}

// Whether a binary property list holds a string with a NUL character.
// libplist 2.2 aborts (an assertion) when it meets such a key, so these
// files never reach it. A malformed structure is left to libplist to refuse.
bool binaryHoldsNulString(std::string_view bytes) {
  constexpr uint64_t kHeader = 8;
  constexpr uint64_t kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer || !bytes.starts_with("bplist")) return false;
  const uint64_t trailer = bytes.size() - kTrailer;
  uint64_t offsetSize = 0, count = 0, table = 0;
  if (!readBig(bytes, trailer + 6, 1, offsetSize) || !readBig(bytes, trailer + 8, 8, count) ||
      !readBig(bytes, trailer + 24, 8, table)) {
    return false;
  }
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t offset = 0;
    if (offsetSize == 0 || i > (bytes.size() - table) / offsetSize) return false;
    if (!readBig(bytes, table + i * offsetSize, offsetSize, offset) || offset >= bytes.size()) {
      return false;
    }
    const auto marker = static_cast<uint8_t>(bytes[offset]);
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;
    uint64_t length = marker & 0xF;
    uint64_t start = offset + 1;
    if (length == 0xF) {
      uint64_t intMarker = 0;
      if (!readBig(bytes, start, 1, intMarker) || (intMarker >> 4) != 0x1) return false;
      const uint64_t width = uint64_t{1} << (intMarker & 0xF);
      if (!readBig(bytes, start + 1, width, length)) return false;
      start += 1 + width;
    }
    const uint64_t unit = kind == 0x5 ? 1 : 2;
    if (start > bytes.size() || length > (bytes.size() - start) / unit) return false;
    for (uint64_t j = 0; j < length; ++j) {
      uint64_t value = 0;
      readBig(bytes, start + j * unit, unit, value);
      if (value == 0) return true;
    }
  }
  return false;
}

}  // namespace

PlistPtr parseDomain(std::string_view bytes, std::string& why) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
    why = "too large for a property list";
    return nullptr;
  }
  if (binaryHoldsNulString(bytes)) {
    why = "the property list holds a string with a NUL character";
    return nullptr;
  }
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root) {
    why = "not a property list";
    return nullptr;
  }
  if (plist_get_node_type(root.get()) != PLIST_DICT) {
    why = "the property list does not hold a dictionary";
    return nullptr;
  }
  if (!nestsWithin(root.get(), 0, kMaxNesting)) {
    why = "the property list nests deeper than " + std::to_string(kMaxNesting) + " levels";
    return nullptr;
  }
  return root;
}

std::optional<DefaultsValue> toValue(plist_t node, size_t depth) {
  if (depth > kMaxNesting) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return DefaultsValue{b != 0};
    }
    case PLIST_UINT: {
      // No signed integers in libplist: negatives are kept as their
      // two's-complement unsigned value.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return DefaultsValue{static_cast<int64_t>(u)};
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return DefaultsValue{d};
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      MallocPtr<char> text(raw);
      return DefaultsValue{std::string(text ? text.get() : "")};
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      MallocPtr<char> data(raw);
      const auto* bytes = reinterpret_cast<const uint8_t*>(data.get());
      return DefaultsValue{DefaultsData(bytes, bytes + (data ? length : 0))};
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist gives the fraction of a negative date as a positive count.
      const double fraction = usec / kMicrosecondsPerSecond;
      return DefaultsValue{DefaultsDate{sec < 0 ? sec - std::fabs(fraction) : sec + fraction}};
    }
    case PLIST_ARRAY: {
      DefaultsArray array;
      const uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        if (auto element = toValue(plist_array_get_item(node, i), depth + 1)) {
          array.push_back(std::move(*element));
        }
      }
      return DefaultsValue{std::move(array)};
    }
    case PLIST_DICT: {
      DefaultsDictionary dict;
      plist_dict_iter raw = nullptr;
      plist_dict_new_iter(node, &raw);
      MallocPtr<void> iter(raw);
      for (;;) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, raw, &rawKey, &item);
        MallocPtr<char> key(rawKey);
        if (item == nullptr) break;
        if (!key) continue;
        if (auto value = toValue(item, depth + 1))
          dict.insert_or_assign(key.get(), std::move(*value));
      }
      return DefaultsValue{std::move(dict)};
    }
    default:
      return std::nullopt;
  }
}

DefaultsDictionary toDictionary(plist_t dict) {
  auto value = toValue(dict);
  auto* map = value ? std::get_if<DefaultsDictionary>(&value->value) : nullptr;
  return map ? std::move(*map) : DefaultsDictionary{};
}

std::string unstorableReason(const DefaultsValue& value) { return reasonFor(value, 0); }

PlistPtr toNode(const DefaultsValue& value) {
  struct Visitor {
    PlistPtr operator()(bool b) const { return PlistPtr(plist_new_bool(b ? 1 : 0)); }
    PlistPtr operator()(int64_t i) const {
      return PlistPtr(plist_new_uint(static_cast<uint64_t>(i)));
    }
    PlistPtr operator()(double d) const { return PlistPtr(plist_new_real(d)); }
    PlistPtr operator()(const std::string& s) const {
      return PlistPtr(plist_new_string(s.c_str()));
    }
    PlistPtr operator()(const DefaultsData& d) const {
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    PlistPtr operator()(const DefaultsDate& d) const {
      // Whole seconds and a fraction of the same sign, as libplist adds them.
      const double whole = std::trunc(d.secondsSinceReferenceDate);
      const double micros =
          std::round((d.secondsSinceReferenceDate - whole) * kMicrosecondsPerSecond);
      return PlistPtr(plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(micros)));
    }
    PlistPtr operator()(const DefaultsArray& a) const {
      PlistPtr node(plist_new_array());
      for (const auto& element : a) plist_array_append_item(node.get(), toNode(element).release());
      return node;
    }
    PlistPtr operator()(const DefaultsDictionary& m) const {
      PlistPtr node(plist_new_dict());
      for (const auto& [key, element] : m) {
        plist_dict_set_item(node.get(), key.c_str(), toNode(element).release());
      }
      return node;
    }
  };
  return std::visit(Visitor{}, value.value);
}

std::string serialize(plist_t root) {
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &raw, &length);
  if (raw == nullptr) return {};
  std::string bytes(raw, length);
  plist_to_bin_free(raw);
  return bytes;
}

std::string serializeChecked(plist_t root) {
  std::string bytes = serialize(root);
  std::string why;
  if (bytes.empty() || !parseDomain(bytes, why)) return {};
  return bytes;
}

}  // namespace vellumark::linux_platform::defaults
