// BASELINE for the codec benchmark only (see baseline_codec.h).
#include "baseline_codec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace baseline {

bool Value::operator<(const Value& o) const {
  if (v.index() != o.v.index()) return v.index() < o.v.index();
  return std::visit(
      [&o](const auto& a) -> bool {
        using T = std::decay_t<decltype(a)>;
        const T& b = std::get<T>(o.v);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return false;
        } else if constexpr (std::is_same_v<T, List>) {
          return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                              [](const Value& x, const Value& y) { return x < y; });
        } else if constexpr (std::is_same_v<T, Map>) {
          return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                              [](const auto& x, const auto& y) {
                                                if (x.first < y.first) return true;
                                                if (y.first < x.first) return false;
                                                return x.second < y.second;
                                              });
        } else {
          return a < b;
        }
      },
      v);
}

namespace {

class ByteStreamWriter {
 public:
  explicit ByteStreamWriter(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
  void writeByte(uint8_t b) { bytes_->push_back(b); }
  void writeBytes(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) bytes_->push_back(data[i]);
  }
  void writeInt32(int32_t v) { writeBytes(reinterpret_cast<const uint8_t*>(&v), 4); }
  void writeInt64(int64_t v) { writeBytes(reinterpret_cast<const uint8_t*>(&v), 8); }
  void writeDouble(double v) { writeBytes(reinterpret_cast<const uint8_t*>(&v), 8); }
  void writeAlignment(size_t a) {
    size_t mod = bytes_->size() % a;
    if (mod) {
      for (size_t i = 0; i < a - mod; ++i) writeByte(0);
    }
  }

 private:
  std::vector<uint8_t>* bytes_;
};

class ByteStreamReader {
 public:
  ByteStreamReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t readByte() {
    if (pos_ >= size_) throw std::runtime_error("out of data");
    return data_[pos_++];
  }
  void readBytes(uint8_t* out, size_t n) {
    if (pos_ + n > size_) throw std::runtime_error("out of data");
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
  }
  int32_t readInt32() {
    int32_t v;
    readBytes(reinterpret_cast<uint8_t*>(&v), 4);
    return v;
  }
  int64_t readInt64() {
    int64_t v;
    readBytes(reinterpret_cast<uint8_t*>(&v), 8);
    return v;
  }
  double readDouble() {
    double v;
    readBytes(reinterpret_cast<uint8_t*>(&v), 8);
    return v;
  }
  void readAlignment(size_t a) {
    size_t mod = pos_ % a;
    if (mod) pos_ += a - mod;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void writeSize(size_t n, ByteStreamWriter& w) {
  if (n < 254) {
    w.writeByte(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    w.writeByte(254);
    uint16_t v = static_cast<uint16_t>(n);
    w.writeBytes(reinterpret_cast<const uint8_t*>(&v), 2);
  } else {
    w.writeByte(255);
    uint32_t v = static_cast<uint32_t>(n);
    w.writeBytes(reinterpret_cast<const uint8_t*>(&v), 4);
  }
}

size_t readSize(ByteStreamReader& r) {
  uint8_t b = r.readByte();
  if (b < 254) return b;
  if (b == 254) {
    uint16_t v;
    r.readBytes(reinterpret_cast<uint8_t*>(&v), 2);
    return v;
  }
  uint32_t v;
  r.readBytes(reinterpret_cast<uint8_t*>(&v), 4);
  return v;
}

template <typename T>
void writeVector(const std::vector<T>& v, ByteStreamWriter& w) {
  writeSize(v.size(), w);
  if (sizeof(T) > 1) w.writeAlignment(sizeof(T));
  w.writeBytes(reinterpret_cast<const uint8_t*>(v.data()), v.size() * sizeof(T));
}

template <typename T>
std::vector<T> readVector(ByteStreamReader& r) {
  size_t n = readSize(r);
  std::vector<T> v(n);
  if (sizeof(T) > 1) r.readAlignment(sizeof(T));
  r.readBytes(reinterpret_cast<uint8_t*>(v.data()), n * sizeof(T));
  return v;
}

void writeValue(const Value& value, ByteStreamWriter& w) {
  switch (value.v.index()) {
    case 0:
      w.writeByte(0);
      break;
    case 1:
      w.writeByte(std::get<bool>(value.v) ? 1 : 2);
      break;
    case 2:
      w.writeByte(3);
      w.writeInt32(std::get<int32_t>(value.v));
      break;
    case 3:
      w.writeByte(4);
      w.writeInt64(std::get<int64_t>(value.v));
      break;
    case 4:
      w.writeByte(6);
      w.writeAlignment(8);
      w.writeDouble(std::get<double>(value.v));
      break;
    case 5: {
      const auto& s = std::get<std::string>(value.v);
      w.writeByte(7);
      writeSize(s.size(), w);
      w.writeBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
      break;
    }
    case 6:
      w.writeByte(8);
      writeVector(std::get<std::vector<uint8_t>>(value.v), w);
      break;
    case 7:
      w.writeByte(9);
      writeVector(std::get<std::vector<int32_t>>(value.v), w);
      break;
    case 8:
      w.writeByte(10);
      writeVector(std::get<std::vector<int64_t>>(value.v), w);
      break;
    case 9:
      w.writeByte(11);
      writeVector(std::get<std::vector<double>>(value.v), w);
      break;
    case 10: {
      const auto& l = std::get<List>(value.v);
      w.writeByte(12);
      writeSize(l.size(), w);
      for (const auto& e : l) writeValue(e, w);
      break;
    }
    case 11: {
      const auto& m = std::get<Map>(value.v);
      w.writeByte(13);
      writeSize(m.size(), w);
      for (const auto& [k, v] : m) {
        writeValue(k, w);
        writeValue(v, w);
      }
      break;
    }
    case 12:
      w.writeByte(14);
      writeVector(std::get<std::vector<float>>(value.v), w);
      break;
  }
}

Value readValue(ByteStreamReader& r) {
  uint8_t type = r.readByte();
  switch (type) {
    case 0:
      return Value();
    case 1:
      return Value(true);
    case 2:
      return Value(false);
    case 3:
      return Value(r.readInt32());
    case 4:
      return Value(r.readInt64());
    case 6:
      r.readAlignment(8);
      return Value(r.readDouble());
    case 5:
    case 7: {
      size_t n = readSize(r);
      std::string s(n, '\0');
      r.readBytes(reinterpret_cast<uint8_t*>(s.data()), n);
      return Value(std::move(s));
    }
    case 8:
      return Value(readVector<uint8_t>(r));
    case 9:
      return Value(readVector<int32_t>(r));
    case 10:
      return Value(readVector<int64_t>(r));
    case 11:
      return Value(readVector<double>(r));
    case 12: {
      size_t n = readSize(r);
      List l;
      l.reserve(n);
      for (size_t i = 0; i < n; ++i) l.push_back(readValue(r));
      return Value(std::move(l));
    }
    case 13: {
      size_t n = readSize(r);
      Map m;
      for (size_t i = 0; i < n; ++i) {
        Value k = readValue(r);
        Value v = readValue(r);
        m.emplace(std::move(k), std::move(v));
      }
      return Value(std::move(m));
    }
    case 14:
      return Value(readVector<float>(r));
    default:
      throw std::runtime_error("unknown type");
  }
}

}  // namespace

std::vector<uint8_t> encodeMessage(const Value& value) {
  std::vector<uint8_t> out;
  ByteStreamWriter w(&out);
  writeValue(value, w);
  return out;
}

Value decodeMessage(const uint8_t* data, size_t size) {
  ByteStreamReader r(data, size);
  return readValue(r);
}

std::vector<uint8_t> encodeMethodCall(const MethodCall& call) {
  std::vector<uint8_t> out;
  ByteStreamWriter w(&out);
  writeValue(Value(call.method), w);
  writeValue(call.arguments, w);
  return out;
}

MethodCall decodeMethodCall(const uint8_t* data, size_t size) {
  ByteStreamReader r(data, size);
  Value name = readValue(r);
  MethodCall call{std::get<std::string>(name.v), readValue(r)};
  return call;
}

std::vector<uint8_t> encodeSuccessEnvelope(const Value& result) {
  std::vector<uint8_t> out;
  ByteStreamWriter w(&out);
  w.writeByte(0);
  writeValue(result, w);
  return out;
}

Value decodeSuccessEnvelope(const uint8_t* data, size_t size) {
  ByteStreamReader r(data, size);
  if (r.readByte() != 0) throw std::runtime_error("not a success envelope");
  return readValue(r);
}

}  // namespace baseline
