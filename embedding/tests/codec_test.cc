#include "embedding/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "embedding/typed_json.h"
#include "random_values.h"

namespace vellumark {
namespace {

const std::string kDataDir = VELLUMARK_SOURCE_DIR "/embedding/tests/data";

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string toHex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xf];
  }
  return s;
}

const StandardMessageCodec& messageCodec() { return *StandardMessageCodec::sharedInstance(); }
const StandardMethodCodec& methodCodec() { return *StandardMethodCodec::sharedInstance(); }

// A value-range encoder never writes an int64 that fits 32 bits, so bytes
// holding one (a Darwin peer's choice) can only be checked by decoding.
bool hasNarrowInt64(const ChannelValue& v) {
  if (const auto* i = v.getIf<int64_t>()) {
    return *i >= INT32_MIN && *i <= INT32_MAX;
  }
  if (const auto* l = v.asList()) {
    for (const auto& e : *l) {
      if (hasNarrowInt64(e)) return true;
    }
  }
  if (const auto* m = v.asMap()) {
    for (const auto& [k, e] : *m) {
      if (hasNarrowInt64(k) || hasNarrowInt64(e)) return true;
    }
  }
  return false;
}

// ---- Known-answer vectors ----------------------------------------------------

TEST(CodecVectorsTest, EveryVectorEncodesAndDecodesExactly) {
  std::ifstream file(kDataDir + "/codec-vectors.json");
  ASSERT_TRUE(file) << "missing codec-vectors.json";
  const auto vectors = nlohmann::ordered_json::parse(file);
  ASSERT_GE(vectors.size(), 90u);

  size_t encoded = 0;
  for (const auto& v : vectors) {
    const std::string name = v["name"].get<std::string>();
    SCOPED_TRACE(name);
    const std::string kind = v["kind"].get<std::string>();
    const Bytes bytes = fromHex(v["hex"].get<std::string>());

    if (v.value("expect", "") == "decode_error") {
      if (kind == "message") {
        EXPECT_THROW(messageCodec().decodeMessage(bytes), CodecError);
      } else if (kind == "method_call") {
        EXPECT_THROW(methodCodec().decodeMethodCall(bytes), CodecError);
      } else {
        EXPECT_THROW(methodCodec().decodeEnvelope(bytes), CodecError);
      }
      continue;
    }

    // The typed-JSON text path must agree with the DOM path.
    const std::string valueText = v["value"].dump();
    bool decodeOnly = v.value("decode_only", false);
    if (kind == "message") {
      const ChannelValue expected = channelValueFromJson(v["value"]);
      EXPECT_EQ(parseTypedJson(valueText), expected);
      EXPECT_EQ(messageCodec().decodeMessage(bytes), expected);
      decodeOnly = decodeOnly || hasNarrowInt64(expected);
      if (!decodeOnly) {
        EXPECT_EQ(toHex(messageCodec().encodeMessage(expected)), toHex(bytes));
      }
    } else if (kind == "method_call") {
      const MethodCall expected = methodCallFromJson(v["value"]);
      const MethodCall decoded = methodCodec().decodeMethodCall(bytes);
      EXPECT_EQ(decoded.method, expected.method);
      EXPECT_EQ(decoded.arguments, expected.arguments);
      if (!decodeOnly) {
        EXPECT_EQ(toHex(methodCodec().encodeMethodCall(expected)), toHex(bytes));
      }
    } else if (kind == "success_envelope") {
      const ChannelValue expected = channelValueFromJson(v["value"]);
      EXPECT_EQ(methodCodec().decodeEnvelope(bytes), MethodEnvelope(expected));
      if (!decodeOnly) {
        EXPECT_EQ(toHex(methodCodec().encodeSuccessEnvelope(expected)), toHex(bytes));
      }
    } else {
      ASSERT_EQ(kind, "error_envelope");
      const MethodEnvelope expected = envelopeFromJson(v["value"]);
      ASSERT_TRUE(std::holds_alternative<ChannelError>(expected));
      EXPECT_EQ(methodCodec().decodeEnvelope(bytes), expected);
      if (!decodeOnly) {
        EXPECT_EQ(toHex(methodCodec().encodeErrorEnvelope(std::get<ChannelError>(expected))),
                  toHex(bytes));
      }
    }
    if (!decodeOnly) ++encoded;
  }
  EXPECT_GE(encoded, 80u);
}

// ---- Encoder choices ---------------------------------------------------------

TEST(StandardCodecTest, IntegersAreEncodedByValueNotByType) {
  EXPECT_EQ(toHex(messageCodec().encodeMessage(ChannelValue(int64_t{5}))), "0305000000");
  EXPECT_EQ(toHex(messageCodec().encodeMessage(ChannelValue(int64_t{INT32_MIN}))), "0300000080");
  EXPECT_EQ(toHex(messageCodec().encodeMessage(ChannelValue(int64_t{INT32_MAX} + 1))),
            "040000008000000000");
  // Either width decodes where an integer is expected.
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("04faffffffffffffff")).asInteger(), -6);
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("03faffffff")).asInteger(), -6);
}

TEST(StandardCodecTest, SizePrefixBoundaries) {
  struct Case {
    size_t n;
    std::string prefix;
  };
  for (const Case& c : {Case{0, "00"}, Case{253, "fd"}, Case{254, "fefe00"}, Case{65535, "feffff"},
                        Case{65536, "ff00000100"}}) {
    SCOPED_TRACE(c.n);
    const std::string s(c.n, 'a');
    const Bytes str = messageCodec().encodeMessage(ChannelValue(s));
    EXPECT_EQ(toHex(Bytes(str.begin(), str.begin() + 1 + static_cast<long>(c.prefix.size() / 2))),
              "07" + c.prefix);
    EXPECT_EQ(str.size(), 1 + c.prefix.size() / 2 + c.n);
    EXPECT_EQ(messageCodec().decodeMessage(str), ChannelValue(s));

    const ChannelValue list(ChannelList(c.n, ChannelValue(true)));
    const Bytes encodedList = messageCodec().encodeMessage(list);
    EXPECT_EQ(toHex(Bytes(encodedList.begin(),
                          encodedList.begin() + 1 + static_cast<long>(c.prefix.size() / 2))),
              "0c" + c.prefix);
    EXPECT_EQ(messageCodec().decodeMessage(encodedList), list);

    ChannelMap map;
    for (size_t i = 0; i < c.n; ++i) map.append(ChannelValue(static_cast<int32_t>(i)), {});
    const Bytes encodedMap = messageCodec().encodeMessage(ChannelValue(map));
    EXPECT_EQ(toHex(Bytes(encodedMap.begin(),
                          encodedMap.begin() + 1 + static_cast<long>(c.prefix.size() / 2))),
              "0d" + c.prefix);
    EXPECT_EQ(messageCodec().decodeMessage(encodedMap), ChannelValue(map));
  }
  // Readers accept a size written longer than needed.
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("07fe0300616263")), ChannelValue("abc"));
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("07ff03000000616263")), ChannelValue("abc"));
}

// Alignment counts from the start of the message, whatever precedes the value.
TEST(StandardCodecTest, PaddingAtEveryOffset) {
  using Type = FlutterStandardTypedData::Type;
  struct Aligned {
    ChannelValue value;
    uint8_t type;
    size_t alignment;
    Bytes afterType;  // size prefix (typed lists), written before the padding
    Bytes payload;
  };
  const double d = 2.5;
  Bytes dBytes(8);
  std::memcpy(dBytes.data(), &d, 8);
  const Bytes int32Payload = {1, 0, 0, 0, 2, 0, 0, 0};
  const std::vector<Aligned> cases = {
      {ChannelValue(d), 6, 8, {}, dBytes},
      {ChannelValue(FlutterStandardTypedData(Type::Int32, int32Payload)), 9, 4, {2}, int32Payload},
      {ChannelValue(FlutterStandardTypedData(Type::Float32, int32Payload)),
       14,
       4,
       {2},
       int32Payload},
      {ChannelValue(FlutterStandardTypedData(Type::Int64, dBytes)), 10, 8, {1}, dBytes},
      {ChannelValue(FlutterStandardTypedData(Type::Float64, dBytes)), 11, 8, {1}, dBytes},
      {ChannelValue(FlutterStandardTypedData(Type::Int32, {})), 9, 4, {0}, {}},
      {ChannelValue(FlutterStandardTypedData(Type::Float64, {})), 11, 8, {0}, {}},
  };
  for (const auto& c : cases) {
    for (size_t len = 0; len <= 8; ++len) {
      SCOPED_TRACE("type " + std::to_string(c.type) + " after a string of " + std::to_string(len));
      const std::string s(len, 's');
      Bytes expected = {0x0c, 0x02, 0x07, static_cast<uint8_t>(len)};
      expected.insert(expected.end(), s.begin(), s.end());
      expected.push_back(c.type);
      expected.insert(expected.end(), c.afterType.begin(), c.afterType.end());
      while (expected.size() % c.alignment != 0) expected.push_back(0);
      expected.insert(expected.end(), c.payload.begin(), c.payload.end());

      const ChannelValue value(ChannelList{ChannelValue(s), c.value});
      EXPECT_EQ(toHex(messageCodec().encodeMessage(value)), toHex(expected));
      EXPECT_EQ(messageCodec().decodeMessage(expected), value);

      // Inside a success envelope and after a method name the offsets shift.
      const Bytes envelope = methodCodec().encodeSuccessEnvelope(value);
      EXPECT_EQ(methodCodec().decodeEnvelope(envelope), MethodEnvelope(value));
      const Bytes call = methodCodec().encodeMethodCall({s, c.value});
      const size_t payloadAt = call.size() - c.payload.size();
      EXPECT_EQ(payloadAt % c.alignment, 0u);
      EXPECT_EQ(methodCodec().decodeMethodCall(call).arguments, c.value);
    }
  }
  // Readers skip padding without looking at it, but it must be there.
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("06ffffffffffffff000000000000f03f")),
            ChannelValue(1.0));
  EXPECT_THROW(messageCodec().decodeMessage(fromHex("0900")), CodecError);
}

// ---- Malformed input ---------------------------------------------------------

ChannelValue richValue() {
  ChannelMap inner{{ChannelValue("k"), ChannelValue(int64_t{1} << 40)},
                   {ChannelValue(int32_t{7}), ChannelValue(ChannelList{})}};
  return ChannelValue(
      ChannelList{ChannelValue(), ChannelValue(true), ChannelValue(int32_t{-3}), ChannelValue(3.5),
                  ChannelValue("h\xc3\xa9llo"), ChannelValue::bytes({1, 2, 3}),
                  ChannelValue(FlutterStandardTypedData::typedDataWithInt32({1, -1})),
                  ChannelValue(FlutterStandardTypedData::typedDataWithInt64({1})),
                  ChannelValue(FlutterStandardTypedData::typedDataWithFloat32({0.5f})),
                  ChannelValue(FlutterStandardTypedData::typedDataWithFloat64({0.25})),
                  ChannelValue(inner), ChannelValue(std::string(300, 'z'))});
}

TEST(StandardCodecTest, EveryTruncationAndAnyTrailingByteIsAnError) {
  const ChannelValue value = richValue();
  const Bytes message = messageCodec().encodeMessage(value);
  const Bytes call = methodCodec().encodeMethodCall({"doIt", value});
  const Bytes success = methodCodec().encodeSuccessEnvelope(value);
  const Bytes error =
      methodCodec().encodeErrorEnvelope(ChannelError::errorWithCode("E", "msg", value));
  for (size_t n = 1; n < message.size(); ++n) {
    EXPECT_THROW(messageCodec().decodeMessage(std::span(message).first(n)), CodecError) << n;
  }
  for (size_t n = 0; n < call.size(); ++n) {
    EXPECT_THROW(methodCodec().decodeMethodCall(std::span(call).first(n)), CodecError) << n;
  }
  for (size_t n = 0; n < success.size(); ++n) {
    EXPECT_THROW(methodCodec().decodeEnvelope(std::span(success).first(n)), CodecError) << n;
  }
  for (size_t n = 0; n < error.size(); ++n) {
    EXPECT_THROW(methodCodec().decodeEnvelope(std::span(error).first(n)), CodecError) << n;
  }
  auto plusOne = [](Bytes b) {
    b.push_back(0);
    return b;
  };
  EXPECT_THROW(messageCodec().decodeMessage(plusOne(message)), CodecError);
  EXPECT_THROW(methodCodec().decodeMethodCall(plusOne(call)), CodecError);
  EXPECT_THROW(methodCodec().decodeEnvelope(plusOne(success)), CodecError);
  // An error envelope takes one more value (a stack trace), then nothing.
  Bytes withTrace = error;
  withTrace.push_back(0);
  EXPECT_NO_THROW(methodCodec().decodeEnvelope(withTrace));
  withTrace.push_back(0);
  EXPECT_THROW(methodCodec().decodeEnvelope(withTrace), CodecError);
}

TEST(StandardCodecTest, UnknownTypeBytesAreErrors) {
  for (int type = 15; type <= 255; ++type) {
    SCOPED_TRACE(type);
    const auto t = static_cast<uint8_t>(type);
    EXPECT_THROW(messageCodec().decodeMessage(Bytes{t}), CodecError);
    EXPECT_THROW(messageCodec().decodeMessage(Bytes{0x0c, 0x02, 0x00, t}), CodecError);
    EXPECT_THROW(methodCodec().decodeEnvelope(Bytes{0x00, t}), CodecError);
  }
  // Type 5, the legacy large integer, reads as its string.
  EXPECT_EQ(messageCodec().decodeMessage(fromHex("05026666")), ChannelValue("ff"));
}

TEST(StandardCodecTest, HostileSizesFailWithoutAllocating) {
  // Each claims up to 2^32-1 items in a message a few bytes long; a reserve()
  // of that size would throw bad_alloc or length_error, not CodecError.
  for (const char* hex : {"0cffffffffff", "0dffffffffff00", "07ffffffffff61", "08ffffffffff00",
                          "09ffffffffff000000", "0affffffffff0000000000", "0bffffffffff0000",
                          "0effffffffff000000", "0cfeffff00", "0dff000001000000"}) {
    SCOPED_TRACE(hex);
    EXPECT_THROW(messageCodec().decodeMessage(fromHex(hex)), CodecError);
  }
}

TEST(StandardCodecTest, NestingDepthIsLimited) {
  auto nested = [](size_t lists) {
    Bytes b;
    for (size_t i = 0; i < lists; ++i) {
      b.push_back(0x0c);
      b.push_back(0x01);
    }
    b.push_back(0x00);
    return b;
  };
  EXPECT_NO_THROW(messageCodec().decodeMessage(nested(kMaxValueDepth - 1)));
  EXPECT_THROW(messageCodec().decodeMessage(nested(kMaxValueDepth)), CodecError);
  EXPECT_THROW(messageCodec().decodeMessage(nested(200000)), CodecError);
  // Maps nest through keys as well as values.
  Bytes keys;
  for (int i = 0; i < 100000; ++i) {
    keys.push_back(0x0d);
    keys.push_back(0x01);
  }
  EXPECT_THROW(messageCodec().decodeMessage(keys), CodecError);
}

TEST(StandardCodecTest, StringsMustBeStrictUtf8) {
  for (const char* hex : {"0701ff", "070180", "0702c080", "0702c1bf", "0703e080bf", "0703eda080",
                          "0704f4908080", "0704f0808080", "0701f5", "0702e298", "0703e298ff"}) {
    SCOPED_TRACE(hex);
    EXPECT_THROW(messageCodec().decodeMessage(fromHex(hex)), CodecError);
  }
  for (const char* text : {"\x7f", "\xc2\x80", "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf",
                           "\xf0\x90\x80\x80", "ascii run longer than eight"}) {
    const ChannelValue v{std::string(text)};
    EXPECT_EQ(messageCodec().decodeMessage(messageCodec().encodeMessage(v)), v);
  }
  // What Dart cannot decode is not sent either.
  EXPECT_THROW(messageCodec().encodeMessage(ChannelValue(std::string("a\xff"))), CodecError);
  EXPECT_THROW(methodCodec().encodeMethodCall({"\xc0\x80", {}}), CodecError);
  // Embedded NUL is an ordinary character.
  const ChannelValue withNul{std::string("a\0b", 3)};
  EXPECT_EQ(toHex(messageCodec().encodeMessage(withNul)), "0703610062");
}

TEST(StandardCodecTest, DuplicateMapKeysLastValueWinsInFirstPlace) {
  EXPECT_EQ(
      messageCodec().decodeMessage(fromHex("0d03070161030100000007016203020000000701610303000000")),
      ChannelValue(ChannelMap{{ChannelValue("a"), ChannelValue(int32_t{3})},
                              {ChannelValue("b"), ChannelValue(int32_t{2})}}));
  // A large map takes the hashed path; keys of every kind, repeated.
  ChannelMap sent;
  for (int32_t i = 0; i < 60; ++i) {
    sent.append(ChannelValue(ChannelList{ChannelValue(i % 20), ChannelValue(0.5)}),
                ChannelValue(i));
  }
  const ChannelValue decoded = messageCodec().decodeMessage(messageCodec().encodeMessage(sent));
  ASSERT_EQ(decoded.asMap()->size(), 20u);
  for (int32_t i = 0; i < 20; ++i) {
    const auto& [k, v] = decoded.asMap()->entries()[static_cast<size_t>(i)];
    EXPECT_EQ(k, ChannelValue(ChannelList{ChannelValue(i), ChannelValue(0.5)}));
    EXPECT_EQ(v, ChannelValue(i + 40));
  }
}

TEST(StandardCodecTest, ValuesTheWireCannotCarryAreEncodeErrors) {
  EXPECT_THROW(messageCodec().encodeMessage(ChannelValue(
                   FlutterStandardTypedData(FlutterStandardTypedData::Type::Int64, Bytes(7)))),
               CodecError);
  struct Opaque : CustomRecord {
    bool equals(const CustomRecord&) const override { return false; }
    std::string describe() const override { return "Opaque"; }
  };
  EXPECT_THROW(messageCodec().encodeMessage(
                   ChannelValue(ChannelValue::Custom(std::make_shared<const Opaque>()))),
               CodecError);
}

// ---- Method codec ------------------------------------------------------------

TEST(StandardMethodCodecTest, MalformedCallsAndEnvelopes) {
  const auto call = [](const char* hex) { return methodCodec().decodeMethodCall(fromHex(hex)); };
  const auto envelope = [](const char* hex) { return methodCodec().decodeEnvelope(fromHex(hex)); };
  EXPECT_THROW(call(""), CodecError);
  EXPECT_THROW(call("032a00000000"), CodecError);  // name not a string
  EXPECT_THROW(call("07016d"), CodecError);        // no arguments
  EXPECT_THROW(call("07016d0000"), CodecError);    // trailing byte
  EXPECT_EQ(call("05016d00").method, "m");         // legacy string type
  EXPECT_THROW(envelope(""), CodecError);          // empty is not an envelope
  EXPECT_THROW(envelope("02"), CodecError);        // unknown flag
  EXPECT_THROW(envelope("ff00"), CodecError);
  EXPECT_THROW(envelope("000000"), CodecError);                  // trailing after success
  EXPECT_THROW(envelope("01000000"), CodecError);                // code null
  EXPECT_THROW(envelope("010701650300000000"), CodecError);      // message is an int
  EXPECT_THROW(envelope("010701650000032a000000"), CodecError);  // stacktrace is an int

  const auto decoded = envelope("01070165000000");  // null stacktrace reads as absent
  EXPECT_EQ(std::get<ChannelError>(decoded), ChannelError::errorWithCode("e", std::nullopt));
}

TEST(StandardMethodCodecTest, ErrorEnvelopeKeepsEmptyMessageAndStacktrace) {
  ChannelError error = ChannelError::errorWithCode("code", "", ChannelValue(1.5));
  error.stacktrace = "at main";
  const Bytes bytes = methodCodec().encodeErrorEnvelope(error);
  EXPECT_EQ(toHex(bytes),
            "010704636f64650700"
            "06000000000000"
            "000000000000f83f"
            "07076174206d61696e");
  EXPECT_EQ(std::get<ChannelError>(methodCodec().decodeEnvelope(bytes)), error);
}

// ---- Extension points ----------------------------------------------------------

struct Point : CustomRecord {
  Point(int32_t px, int32_t py) : x(px), y(py) {}
  int32_t x, y;
  bool equals(const CustomRecord& o) const override {
    const auto* p = dynamic_cast<const Point*>(&o);
    return p != nullptr && p->x == x && p->y == y;
  }
  std::string describe() const override {
    return "Point(" + std::to_string(x) + ", " + std::to_string(y) + ")";
  }
};

struct Blob : CustomRecord {
  Blob(std::string n, Bytes d) : name(std::move(n)), data(std::move(d)) {}
  std::string name;
  Bytes data;
  bool equals(const CustomRecord& o) const override {
    const auto* b = dynamic_cast<const Blob*>(&o);
    return b != nullptr && b->name == name && b->data == data;
  }
  std::string describe() const override { return "Blob(" + name + ")"; }
};

class ExtReader : public StandardReader {
 public:
  using StandardReader::StandardReader;
  ChannelValue readValueOfType(uint8_t type) override {
    if (type == 0x80) {
      int32_t xy[2];
      readBytes(xy, sizeof xy);
      return ChannelValue(ChannelValue::Custom(std::make_shared<const Point>(xy[0], xy[1])));
    }
    if (type == 0x81) {
      Bytes data(readSize());
      readBytes(data.data(), data.size());
      ChannelValue name = readValue();
      if (!name.is<std::string>()) throw CodecError("blob name is not a string");
      return ChannelValue(
          ChannelValue::Custom(std::make_shared<const Blob>(name.get<std::string>(), data)));
    }
    return StandardReader::readValueOfType(type);
  }
};

class ExtWriter : public StandardWriter {
 public:
  using StandardWriter::StandardWriter;
  void writeValue(const ChannelValue& value) override {
    if (const auto* record = value.getIf<ChannelValue::Custom>()) {
      if (const auto* p = dynamic_cast<const Point*>(record->get())) {
        writeByte(0x80);
        writeBytes(&p->x, 4);
        writeBytes(&p->y, 4);
        return;
      }
      if (const auto* b = dynamic_cast<const Blob*>(record->get())) {
        writeByte(0x81);
        writeSize(b->data.size());
        writeBytes(b->data.data(), b->data.size());
        StandardWriter::writeValue(ChannelValue(b->name));
        return;
      }
    }
    StandardWriter::writeValue(value);
  }
};

class ExtReaderWriter : public StandardReaderWriter {
 public:
  std::unique_ptr<StandardReader> readerWithData(std::span<const uint8_t> data) const override {
    return std::make_unique<ExtReader>(data);
  }
  std::unique_ptr<StandardWriter> writerWithData(Bytes& out) const override {
    return std::make_unique<ExtWriter>(out);
  }
};

ChannelValue point(int32_t x, int32_t y) {
  return ChannelValue(ChannelValue::Custom(std::make_shared<const Point>(x, y)));
}
ChannelValue blob(std::string name, Bytes data) {
  return ChannelValue(ChannelValue::Custom(std::make_shared<const Blob>(std::move(name), data)));
}

TEST(CodecExtensionTest, KnownRecordsEncodeByteExact) {
  const auto codec =
      StandardMessageCodec::codecWithReaderWriter(std::make_shared<ExtReaderWriter>());
  EXPECT_EQ(toHex(codec->encodeMessage(point(9, 16))), "800900000010000000");
  EXPECT_EQ(toHex(codec->encodeMessage(blob("test", {0, 1, 2, 3, 4, 5}))),
            "8106000102030405070474657374");
  EXPECT_EQ(codec->decodeMessage(fromHex("800900000010000000")), point(9, 16));
  EXPECT_EQ(codec->decodeMessage(fromHex("8106000102030405070474657374")),
            blob("test", {0, 1, 2, 3, 4, 5}));
  // The plain codec knows neither.
  EXPECT_THROW(messageCodec().decodeMessage(fromHex("800900000010000000")), CodecError);
}

TEST(CodecExtensionTest, RecordsNestAnywhereAndAlignFromMessageStart) {
  const auto rw = std::make_shared<ExtReaderWriter>();
  const auto messages = StandardMessageCodec::codecWithReaderWriter(rw);
  const auto methods = StandardMethodCodec::codecWithReaderWriter(rw);
  const ChannelValue value(
      ChannelList{blob("b", {7}), ChannelValue(1.5),
                  ChannelValue(ChannelMap{{point(1, 2), ChannelValue(ChannelList{point(3, 4)})}})});
  const Bytes encoded = messages->encodeMessage(value);
  // The double's 8 bytes start at an offset that is a multiple of 8.
  const size_t typeAt = 2 + 1 + 1 + 1 + 3;  // list header, blob (81 01 07) and its name 07 01 62
  ASSERT_EQ(encoded[typeAt], 6);
  double at16 = 0;
  std::memcpy(&at16, encoded.data() + 16, 8);  // padded from 9 up to 16
  EXPECT_EQ(at16, 1.5);
  EXPECT_EQ(messages->decodeMessage(encoded), value);

  const MethodCall call{"draw", value};
  const MethodCall decoded = methods->decodeMethodCall(methods->encodeMethodCall(call));
  EXPECT_EQ(decoded.arguments, value);
  EXPECT_EQ(methods->decodeEnvelope(methods->encodeSuccessEnvelope(value)), MethodEnvelope(value));
  const ChannelError error = ChannelError::errorWithCode("E", std::nullopt, point(5, 6));
  EXPECT_EQ(methods->decodeEnvelope(methods->encodeErrorEnvelope(error)), MethodEnvelope(error));
}

// ---- Round trips and robustness -------------------------------------------------

TEST(StandardCodecTest, RandomValuesRoundTripByteStable) {
  testing::RandomValues random(20240611);
  for (int i = 0; i < 400; ++i) {
    const ChannelValue v = random.value();
    const Bytes bytes = messageCodec().encodeMessage(v);
    const ChannelValue back = messageCodec().decodeMessage(bytes);
    ASSERT_EQ(back, v) << "iteration " << i << ": " << printTypedJson(v);
    ASSERT_EQ(messageCodec().encodeMessage(back), bytes) << "iteration " << i;
    const std::string name = random.string();
    const MethodCall call =
        methodCodec().decodeMethodCall(methodCodec().encodeMethodCall({name, v}));
    ASSERT_EQ(call.method, name);
    ASSERT_EQ(call.arguments, v);
  }
}

// Whatever the bytes, a decoder answers a value or a CodecError.
void decodeAnything(std::span<const uint8_t> data) {
  try {
    // A narrow int64 comes back as int32; after that bytes and values are stable.
    const Bytes encoded = messageCodec().encodeMessage(messageCodec().decodeMessage(data));
    const ChannelValue again = messageCodec().decodeMessage(encoded);
    EXPECT_EQ(messageCodec().encodeMessage(again), encoded);
  } catch (const CodecError&) {
  }
  try {
    methodCodec().decodeMethodCall(data);
  } catch (const CodecError&) {
  }
  try {
    methodCodec().decodeEnvelope(data);
  } catch (const CodecError&) {
  }
}

TEST(StandardCodecTest, MutatedMessagesNeverCrash) {
  testing::RandomValues random(77);
  for (int i = 0; i < 300; ++i) {
    Bytes bytes = messageCodec().encodeMessage(random.value(3));
    for (int m = 0; m < 4 && !bytes.empty(); ++m) {
      bytes[random.pick(bytes.size())] = static_cast<uint8_t>(random.rng()());
      decodeAnything(bytes);
    }
  }
}

TEST(StandardCodecTest, FuzzRegressionsNeverCrash) {
  const std::filesystem::path dir = kDataDir + "/fuzz-regressions";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no fuzz regressions recorded";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    decodeAnything(data);
  }
}

}  // namespace
}  // namespace vellumark
