#include "embedding/codec.h"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <typeinfo>

#include "utf8.h"

namespace vellumark {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the codec copies native numbers as the wire's little-endian bytes");

enum : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr uint8_t kEnvelopeSuccess = 0;
constexpr uint8_t kEnvelopeError = 1;

uint8_t typeByteOf(FlutterStandardTypedData::Type type) {
  switch (type) {
    case FlutterStandardTypedData::Type::UInt8:
      return kUInt8List;
    case FlutterStandardTypedData::Type::Int32:
      return kInt32List;
    case FlutterStandardTypedData::Type::Int64:
      return kInt64List;
    case FlutterStandardTypedData::Type::Float32:
      return kFloat32List;
    case FlutterStandardTypedData::Type::Float64:
      return kFloat64List;
  }
  return kUInt8List;
}

// An upper bound of the encoded size, so encoding reserves once. Scalars
// (index 0..4) take at most 16 bytes and are not visited one by one.
size_t estimateSize(const ChannelValue& value);

inline size_t estimateChild(const ChannelValue& value) {
  if (value.index() <= 4) return 16;
  if (const auto* s = value.asString()) return 6 + s->size();
  return estimateSize(value);
}

size_t estimateSize(const ChannelValue& value) {
  switch (value.index()) {
    case 0:  // null
    case 1:  // bool
      return 1;
    case 2:  // int32
      return 5;
    case 3:  // int64
      return 9;
    case 4:  // double
      return 16;
    case 5:  // string
      return 6 + value.get<std::string>().size();
    case 6:  // typed data
      return 13 + value.get<FlutterStandardTypedData>().data().size();
    case 7: {
      size_t n = 6;
      for (const auto& v : value.get<ChannelList>()) n += estimateChild(v);
      return n;
    }
    case 8: {
      size_t n = 6;
      for (const auto& [k, v] : value.get<ChannelMap>()) n += estimateChild(k) + estimateChild(v);
      return n;
    }
    default:  // extension records: a guess
      return 32;
  }
}

// The codecs of the default reader-writer use readers and writers on the stack;
// only a subclass's reader-writer is asked for (heap-allocated) ones.
bool isDefault(const StandardReaderWriter& rw) {
  return typeid(rw) == typeid(StandardReaderWriter);
}

template <typename F>
auto withReader(const StandardReaderWriter& rw, std::span<const uint8_t> data, F&& f) {
  if (isDefault(rw)) {
    StandardReader reader(data);
    return f(reader);
  }
  std::unique_ptr<StandardReader> reader = rw.readerWithData(data);
  if (!reader) throw CodecError("the codec's reader-writer made no reader");
  return f(*reader);
}

template <typename F>
void withWriter(const StandardReaderWriter& rw, Bytes& out, F&& f) {
  if (isDefault(rw)) {
    StandardWriter writer(out);
    f(writer);
    return;
  }
  std::unique_ptr<StandardWriter> writer = rw.writerWithData(out);
  if (!writer) throw CodecError("the codec's reader-writer made no writer");
  f(*writer);
}

void expectEnd(const StandardReader& reader, const char* what) {
  if (reader.hasMore()) {
    throw CodecError(std::string(what) + " is followed by " + std::to_string(reader.remaining()) +
                     " unexpected byte(s) at offset " + std::to_string(reader.position()));
  }
}

const std::shared_ptr<const StandardReaderWriter>& defaultReaderWriter() {
  static const auto rw = std::make_shared<const StandardReaderWriter>();
  return rw;
}

}  // namespace

// ---- StandardReader ----------------------------------------------------------

void StandardReader::throwTruncated(size_t n) const {
  throw CodecError("message truncated: " + std::to_string(n) + " byte(s) needed at offset " +
                   std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
}

size_t StandardReader::readLongSize(uint8_t first) {
  if (first == 254) {
    uint16_t n;
    readBytes(&n, sizeof n);
    return n;
  }
  uint32_t n;
  readBytes(&n, sizeof n);
  return n;
}

void StandardReader::readBytes(void* out, size_t n) {
  need(n);
  if (n == 0) return;
  std::memcpy(out, data_.data() + pos_, n);
  pos_ += n;
}

void StandardReader::readAlignment(size_t alignment) {
  const size_t mod = pos_ % alignment;
  if (mod == 0) return;
  // The padding must be there; its value does not matter.
  need(alignment - mod);
  pos_ += alignment - mod;
}

std::string StandardReader::readUtf8() {
  const size_t n = readSize();
  need(n);
  const uint8_t* p = data_.data() + pos_;
  if (!internal::isValidUtf8(p, n)) {
    throw CodecError("string at offset " + std::to_string(pos_) + " is not valid UTF-8");
  }
  pos_ += n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

ChannelValue StandardReader::readValue() {
  if (depth_ >= kMaxValueDepth) {
    throw CodecError("values nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
  }
  struct DepthGuard {
    size_t& depth;
    explicit DepthGuard(size_t& d) : depth(d) { ++depth; }
    ~DepthGuard() { --depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
  } guard(depth_);
  return readValueOfType(readByte());
}

ChannelValue StandardReader::readElement(bool exact) {
  if (!exact) return readValue();
  if (depth_ >= kMaxValueDepth) {
    throw CodecError("values nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
  }
  ++depth_;
  ChannelValue value = StandardReader::readValueOfType(readByte());
  --depth_;
  return value;
}

ChannelValue StandardReader::readValueOfType(uint8_t type) {
  switch (type) {
    case kNull:
      return ChannelValue();
    case kTrue:
      return ChannelValue(true);
    case kFalse:
      return ChannelValue(false);
    case kInt32: {
      int32_t v;
      readBytes(&v, sizeof v);
      return ChannelValue(v);
    }
    case kInt64: {
      int64_t v;
      readBytes(&v, sizeof v);
      return ChannelValue(v);
    }
    case kLargeInt:  // a legacy hex string; the engine reads it as a string
    case kString:
      return ChannelValue(readUtf8());
    case kFloat64: {
      readAlignment(8);
      double v;
      readBytes(&v, sizeof v);
      return ChannelValue(v);
    }
    case kUInt8List:
    case kInt32List:
    case kInt64List:
    case kFloat32List:
    case kFloat64List:
      return readTypedData(type);
    case kList:
      return readList();
    case kMap:
      return readMap();
    default:
      throw CodecError("unknown type byte " + std::to_string(type) + " at offset " +
                       std::to_string(pos_ - 1));
  }
}

// Containers live apart from readValueOfType() so that the scalar cases stay
// small and cheap to call.
ChannelValue StandardReader::readTypedData(uint8_t type) {
  using Type = FlutterStandardTypedData::Type;
  const Type t = type == kUInt8List     ? Type::UInt8
                 : type == kInt32List   ? Type::Int32
                 : type == kInt64List   ? Type::Int64
                 : type == kFloat32List ? Type::Float32
                                        : Type::Float64;
  const size_t count = readSize();
  const size_t elementSize = type == kUInt8List                           ? 1
                             : type == kInt32List || type == kFloat32List ? 4
                                                                          : 8;
  if (elementSize > 1) readAlignment(elementSize);
  // Division, not multiplication: a hostile count must fail before allocating.
  if (count > remaining() / elementSize) {
    throw CodecError("typed list of " + std::to_string(count) + " element(s) at offset " +
                     std::to_string(pos_) + " exceeds the message");
  }
  const size_t n = count * elementSize;
  const uint8_t* p = data_.data() + pos_;
  pos_ += n;
  return ChannelValue(FlutterStandardTypedData(t, Bytes(p, p + n)));
}

ChannelValue StandardReader::readList() {
  const size_t count = readSize();
  // Every element takes at least its type byte.
  if (count > remaining()) {
    throw CodecError("list of " + std::to_string(count) + " element(s) at offset " +
                     std::to_string(pos_) + " exceeds the message");
  }
  ChannelList list;
  list.reserve(count);
  const bool exact = typeid(*this) == typeid(StandardReader);
  for (size_t i = 0; i < count; ++i) list.push_back(readElement(exact));
  return ChannelValue(std::move(list));
}

ChannelValue StandardReader::readMap() {
  const size_t count = readSize();
  if (count > remaining() / 2) {
    throw CodecError("map of " + std::to_string(count) + " pair(s) at offset " +
                     std::to_string(pos_) + " exceeds the message");
  }
  std::vector<ChannelMap::Entry> entries;
  entries.reserve(count);
  const bool exact = typeid(*this) == typeid(StandardReader);
  for (size_t i = 0; i < count; ++i) {
    ChannelValue key = readElement(exact);  // the key is read before its value
    entries.emplace_back(std::move(key), readElement(exact));
  }
  ChannelMap map(std::move(entries));
  map.removeDuplicateKeys();
  return ChannelValue(std::move(map));
}

// ---- StandardWriter ----------------------------------------------------------

template <size_t N>
[[gnu::always_inline]] inline void StandardWriter::writeFixed(const uint8_t (&bytes)[N]) {
  // Headers and scalars are a handful of bytes: appending them one by one with
  // a constant count unrolls to plain stores, cheaper than a sized insert.
  out_.insert(out_.end(), bytes, bytes + N);
}

void StandardWriter::writeSize(size_t n) {
  if (n < 254) {
    writeByte(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    const uint8_t buf[3] = {254, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    writeFixed(buf);
  } else if (n <= 0xffffffffU) {
    const uint8_t buf[5] = {255, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                            static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
    writeFixed(buf);
  } else {
    throw CodecError("size " + std::to_string(n) + " does not fit the codec's 32-bit sizes");
  }
}

void StandardWriter::writeBytes(const void* data, size_t n) {
  if (n == 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  out_.insert(out_.end(), p, p + n);
}

void StandardWriter::writeAlignment(size_t alignment) {
  const size_t mod = out_.size() % alignment;
  if (mod != 0) out_.insert(out_.end(), alignment - mod, uint8_t{0});
}

void StandardWriter::writeUtf8(std::string_view s) {
  if (!internal::isValidUtf8(s.data(), s.size())) {
    throw CodecError("cannot encode a string that is not valid UTF-8");
  }
  writeSize(s.size());
  writeBytes(s.data(), s.size());
}

void StandardWriter::writeValue(const ChannelValue& value) {
  switch (value.index()) {
    case 0:
      writeByte(kNull);
      return;
    case 1:
      writeByte(value.get<bool>() ? kTrue : kFalse);
      return;
    case 2:
    case 3: {
      // By value, as the engine's own peers do: int32 when it fits.
      const int64_t v = value.index() == 2 ? int64_t{value.get<int32_t>()} : value.get<int64_t>();
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        uint8_t buf[5] = {kInt32};
        const auto narrow = static_cast<int32_t>(v);
        std::memcpy(buf + 1, &narrow, 4);
        writeFixed(buf);
      } else {
        uint8_t buf[9] = {kInt64};
        std::memcpy(buf + 1, &v, 8);
        writeFixed(buf);
      }
      return;
    }
    case 4: {
      writeByte(kFloat64);
      writeAlignment(8);
      const double d = value.get<double>();
      uint8_t buf[8];
      std::memcpy(buf, &d, 8);
      writeFixed(buf);
      return;
    }
    case 5: {
      const std::string& s = value.get<std::string>();
      if (s.size() <= 30) {
        // Short strings (map keys, names): header and text in one append.
        if (!internal::isValidUtf8(s.data(), s.size())) {
          throw CodecError("cannot encode a string that is not valid UTF-8");
        }
        uint8_t buf[32] = {kString, static_cast<uint8_t>(s.size())};
        std::memcpy(buf + 2, s.data(), s.size());
        out_.insert(out_.end(), buf, buf + 2 + s.size());
      } else if (s.size() < 254) {
        if (!internal::isValidUtf8(s.data(), s.size())) {
          throw CodecError("cannot encode a string that is not valid UTF-8");
        }
        const uint8_t header[2] = {kString, static_cast<uint8_t>(s.size())};
        writeFixed(header);
        writeBytes(s.data(), s.size());
      } else {
        writeByte(kString);
        writeUtf8(s);
      }
      return;
    }
    case 6: {
      const auto& typed = value.get<FlutterStandardTypedData>();
      const size_t elementSize = typed.elementSize();
      const Bytes& data = typed.data();
      if (data.size() % elementSize != 0) {
        throw CodecError("typed data of " + std::to_string(data.size()) +
                         " byte(s) is not a whole number of " + std::to_string(elementSize) +
                         "-byte elements");
      }
      writeByte(typeByteOf(typed.type()));
      writeSize(data.size() / elementSize);
      // Empty typed lists are padded too: peers always skip the padding.
      if (elementSize > 1) writeAlignment(elementSize);
      writeBytes(data.data(), data.size());
      return;
    }
    case 7: {
      const auto& list = value.get<ChannelList>();
      writeByte(kList);
      writeSize(list.size());
      const bool exact = typeid(*this) == typeid(StandardWriter);
      for (const auto& v : list) writeElement(v, exact);
      return;
    }
    case 8: {
      const auto& map = value.get<ChannelMap>();
      writeByte(kMap);
      writeSize(map.size());
      const bool exact = typeid(*this) == typeid(StandardWriter);
      for (const auto& [k, v] : map) {
        writeElement(k, exact);
        writeElement(v, exact);
      }
      return;
    }
    default: {
      const auto& record = value.get<ChannelValue::Custom>();
      throw CodecError("no codec extension writes the record " +
                       (record ? record->describe() : std::string("(null record)")));
    }
  }
}

// ---- StandardReaderWriter ----------------------------------------------------

std::unique_ptr<StandardReader> StandardReaderWriter::readerWithData(
    std::span<const uint8_t> data) const {
  return std::make_unique<StandardReader>(data);
}

std::unique_ptr<StandardWriter> StandardReaderWriter::writerWithData(Bytes& out) const {
  return std::make_unique<StandardWriter>(out);
}

// ---- StandardMessageCodec ----------------------------------------------------

std::shared_ptr<const StandardMessageCodec> StandardMessageCodec::sharedInstance() {
  static const auto codec = std::make_shared<const StandardMessageCodec>(defaultReaderWriter());
  return codec;
}

std::shared_ptr<const StandardMessageCodec> StandardMessageCodec::codecWithReaderWriter(
    std::shared_ptr<const StandardReaderWriter> readerWriter) {
  return std::make_shared<const StandardMessageCodec>(std::move(readerWriter));
}

StandardMessageCodec::StandardMessageCodec(std::shared_ptr<const StandardReaderWriter> readerWriter)
    : rw_(readerWriter ? std::move(readerWriter) : defaultReaderWriter()) {}

Bytes StandardMessageCodec::encodeMessage(const ChannelValue& message) const {
  Bytes out;
  out.reserve(estimateSize(message));
  withWriter(*rw_, out, [&](StandardWriter& w) { w.writeValue(message); });
  return out;
}

ChannelValue StandardMessageCodec::decodeMessage(std::span<const uint8_t> message) const {
  // An empty message is the engine's null.
  if (message.empty()) return ChannelValue();
  return withReader(*rw_, message, [](StandardReader& r) {
    ChannelValue value = r.readValue();
    expectEnd(r, "the message's value");
    return value;
  });
}

// ---- StandardMethodCodec -----------------------------------------------------

std::shared_ptr<const StandardMethodCodec> StandardMethodCodec::sharedInstance() {
  static const auto codec = std::make_shared<const StandardMethodCodec>(defaultReaderWriter());
  return codec;
}

std::shared_ptr<const StandardMethodCodec> StandardMethodCodec::codecWithReaderWriter(
    std::shared_ptr<const StandardReaderWriter> readerWriter) {
  return std::make_shared<const StandardMethodCodec>(std::move(readerWriter));
}

StandardMethodCodec::StandardMethodCodec(std::shared_ptr<const StandardReaderWriter> readerWriter)
    : rw_(readerWriter ? std::move(readerWriter) : defaultReaderWriter()) {}

Bytes StandardMethodCodec::encodeMethodCall(const MethodCall& call) const {
  Bytes out;
  out.reserve(6 + call.method.size() + estimateSize(call.arguments));
  withWriter(*rw_, out, [&](StandardWriter& w) {
    w.writeByte(kString);
    w.writeUtf8(call.method);
    w.writeValue(call.arguments);
  });
  return out;
}

MethodCall StandardMethodCodec::decodeMethodCall(std::span<const uint8_t> message) const {
  if (message.empty()) throw CodecError("empty method call");
  return withReader(*rw_, message, [](StandardReader& r) {
    ChannelValue name = r.readValue();
    if (!name.is<std::string>()) throw CodecError("method call name is not a string");
    if (!r.hasMore()) throw CodecError("method call has no arguments value");
    MethodCall call{std::move(name.get<std::string>()), r.readValue()};
    expectEnd(r, "the method call");
    return call;
  });
}

Bytes StandardMethodCodec::encodeSuccessEnvelope(const ChannelValue& result) const {
  Bytes out;
  out.reserve(1 + estimateSize(result));
  withWriter(*rw_, out, [&](StandardWriter& w) {
    w.writeByte(kEnvelopeSuccess);
    w.writeValue(result);
  });
  return out;
}

Bytes StandardMethodCodec::encodeErrorEnvelope(const ChannelError& error) const {
  Bytes out;
  out.reserve(32 + error.code.size() + (error.message ? error.message->size() : 0) +
              estimateSize(error.details) + (error.stacktrace ? error.stacktrace->size() : 0));
  withWriter(*rw_, out, [&](StandardWriter& w) {
    w.writeByte(kEnvelopeError);
    w.writeByte(kString);
    w.writeUtf8(error.code);
    if (error.message) {
      w.writeByte(kString);
      w.writeUtf8(*error.message);
    } else {
      w.writeByte(kNull);
    }
    w.writeValue(error.details);
    if (error.stacktrace) {
      w.writeByte(kString);
      w.writeUtf8(*error.stacktrace);
    }
  });
  return out;
}

MethodEnvelope StandardMethodCodec::decodeEnvelope(std::span<const uint8_t> envelope) const {
  if (envelope.empty()) throw CodecError("empty envelope");
  return withReader(*rw_, envelope, [](StandardReader& r) -> MethodEnvelope {
    const uint8_t flag = r.readByte();
    if (flag == kEnvelopeSuccess) {
      ChannelValue result = r.readValue();
      expectEnd(r, "the success envelope");
      return result;
    }
    if (flag != kEnvelopeError) {
      throw CodecError("unknown envelope flag " + std::to_string(flag));
    }
    ChannelError error;
    ChannelValue code = r.readValue();
    if (!code.is<std::string>()) throw CodecError("error envelope code is not a string");
    error.code = std::move(code.get<std::string>());
    ChannelValue message = r.readValue();
    if (message.is<std::string>()) {
      error.message = std::move(message.get<std::string>());
    } else if (!message.isNull()) {
      throw CodecError("error envelope message is neither a string nor null");
    }
    error.details = r.readValue();
    // Some peers append a stack trace; it is read only when present.
    if (r.hasMore()) {
      ChannelValue stacktrace = r.readValue();
      if (stacktrace.is<std::string>()) {
        error.stacktrace = std::move(stacktrace.get<std::string>());
      } else if (!stacktrace.isNull()) {
        throw CodecError("error envelope stack trace is neither a string nor null");
      }
    }
    expectEnd(r, "the error envelope");
    return error;
  });
}

}  // namespace vellumark
