#include "embedding/typed_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "random_values.h"

namespace vellumark {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Typed JSON has one NaN; payloads of others do not survive it.
ChannelValue canonicalNaNs(const ChannelValue& v) {
  using Type = FlutterStandardTypedData::Type;
  if (const auto* d = v.getIf<double>()) {
    return std::isnan(*d) ? ChannelValue(std::numeric_limits<double>::quiet_NaN()) : v;
  }
  if (const auto* t = v.getIf<FlutterStandardTypedData>()) {
    if (t->type() == Type::Float32) {
      auto e = t->float32Elements();
      for (auto& x : e) {
        if (std::isnan(x)) x = std::numeric_limits<float>::quiet_NaN();
      }
      return ChannelValue(FlutterStandardTypedData::typedDataWithFloat32(e));
    }
    if (t->type() == Type::Float64) {
      auto e = t->float64Elements();
      for (auto& x : e) {
        if (std::isnan(x)) x = std::numeric_limits<double>::quiet_NaN();
      }
      return ChannelValue(FlutterStandardTypedData::typedDataWithFloat64(e));
    }
    return v;
  }
  if (const auto* l = v.asList()) {
    ChannelList out;
    for (const auto& e : *l) out.push_back(canonicalNaNs(e));
    return ChannelValue(std::move(out));
  }
  if (const auto* m = v.asMap()) {
    ChannelMap out;
    for (const auto& [k, e] : *m) out.append(canonicalNaNs(k), canonicalNaNs(e));
    out.removeDuplicateKeys();
    return ChannelValue(std::move(out));
  }
  return v;
}

TEST(TypedJsonTest, CanonicalTextPrintsBackUnchanged) {
  for (const char* text : {"null",
                           "true",
                           "false",
                           "0",
                           "-2147483648",
                           "2147483647",
                           R"({"$int64": "2147483648"})",
                           R"({"$int64": "-9223372036854775808"})",
                           "1.0",
                           "-0.0",
                           "0.1",
                           "2.5e-08",
                           "1e+300",
                           "3.141592653589793",
                           R"({"$float64": "NaN"})",
                           R"({"$float64": "-Infinity"})",
                           R"("a\"b\\c\n\t\u0001 é 😂")",
                           R"({"$bytes": ""})",
                           R"({"$bytes": "00ff10"})",
                           R"({"$int32list": [1, -2]})",
                           R"({"$int64list": ["1", "-5"]})",
                           R"({"$float32list": [0.5, 3.1415925, 1000.0, "Infinity"]})",
                           R"({"$float64list": [0.1, "NaN"]})",
                           "[]",
                           "[1, [2.0, null], {}]",
                           R"({"b": 1, "a": {"c": []}})",
                           R"({"$map": [[1, "one"], [null, {}]]})",
                           R"({"$map": [["$key", 1]]})",
                           R"({"$map": [["a", 1], [2, 2]]})"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(printTypedJson(parseTypedJson(text)), text);
  }
}

TEST(TypedJsonTest, ParsesToTheRightTypes) {
  EXPECT_EQ(parseTypedJson("7"), ChannelValue(int32_t{7}));
  EXPECT_EQ(parseTypedJson("2147483648"), ChannelValue(int64_t{2147483648}));
  EXPECT_EQ(parseTypedJson("-2147483649"), ChannelValue(int64_t{-2147483649}));
  EXPECT_EQ(parseTypedJson("9223372036854775807"), ChannelValue(INT64_MAX));
  EXPECT_EQ(parseTypedJson("7.0"), ChannelValue(7.0));
  EXPECT_EQ(parseTypedJson("1E2"), ChannelValue(100.0));
  EXPECT_EQ(parseTypedJson(R"({"$int64": 5})"), ChannelValue(int64_t{5}));
  EXPECT_EQ(parseTypedJson(R"({"$bytes": "ABcd"})"), ChannelValue::bytes({0xab, 0xcd}));
  EXPECT_EQ(parseTypedJson(R"({"$float32list": [0.1]})"),
            ChannelValue(FlutterStandardTypedData::typedDataWithFloat32({0.1f})));
  // Object keys keep the order written, and a repeated key keeps its place.
  const ChannelValue map = parseTypedJson(R"({"z": 1, "a": 2, "z": 3})");
  ASSERT_EQ(map.asMap()->size(), 2u);
  EXPECT_EQ(map.asMap()->entries()[0].first, ChannelValue("z"));
  EXPECT_EQ(map.asMap()->entries()[0].second, ChannelValue(int32_t{3}));
}

TEST(TypedJsonTest, BadInputIsAClearError) {
  struct Case {
    const char* text;
    const char* mentions;
  };
  for (const Case& c : {
           Case{"18446744073709551616", "64 bits"},
           Case{"9223372036854775808", "64 bits"},
           Case{R"({"$int64": "12x"})", "decimal"},
           Case{R"({"$int64": "99999999999999999999"})", "decimal"},
           Case{R"({"$int64": ""})", "decimal"},
           Case{R"({"$int64": 1.5})", "decimal string"},
           Case{R"({"$float64": "nan"})", "NaN"},
           Case{R"({"$bytes": "abc"})", "odd"},
           Case{R"({"$bytes": "zz"})", "hex"},
           Case{R"({"$int32list": [2147483648]})", "32 bits"},
           Case{R"({"$int32list": [1.0]})", "integer"},
           Case{R"({"$float32list": [1e39]})", "float32"},
           Case{R"({"$float64list": {}})", "array"},
           Case{R"({"$map": [[1]]})", "pair"},
           Case{R"({"$map": {}})", "array"},
           Case{R"({"$custom": "Point"})", "extension"},
           Case{R"({"$nope": 1})", "unknown tag"},
           Case{R"({"$int64": "1", "x": 2})", "$map form"},
           Case{R"({"a": 1, "$b": 2})", "$map form"},
           // Said in our words, with where.
           Case{"[1,", "not valid JSON at line 1, column 4: the text ends before the value does"},
           Case{"1 2", "not valid JSON at line 1, column 3: more text after the value"},
           Case{"", "not valid JSON at line 1, column 1: the text ends"},
           Case{"{bad", "not valid JSON at line 1, column 2: unexpected 'b'"},
           Case{"{\"a\": 1,\n \"b\" 2}", "line 2, column 6: unexpected '2'"},
           Case{"[\"a\x01\"]", "column 4: a control character in a string must be escaped"},
           Case{"\"\xff\"", "UTF-8"},
           Case{R"([0, {"a": [{"$int64": "x"}]}])", "at [1].a[0].$int64"},
       }) {
    SCOPED_TRACE(c.text);
    try {
      parseTypedJson(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.mentions));
      EXPECT_THAT(e.what(), Not(HasSubstr("json.exception")));
    }
  }
}

TEST(TypedJsonTest, DeepNestingIsAnErrorNotACrash) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_THROW(parseTypedJson(deep), std::invalid_argument);
  // Exactly as deep as the codec allows still parses and prints.
  std::string ok =
      std::string(kMaxValueDepth - 1, '[') + "1" + std::string(kMaxValueDepth - 1, ']');
  EXPECT_EQ(printTypedJson(parseTypedJson(ok)), ok);
  ok = "[" + ok + "]";
  EXPECT_THROW(parseTypedJson(ok), std::invalid_argument);
}

TEST(TypedJsonTest, RandomValuesRoundTripExactly) {
  testing::RandomValues random(4242);
  for (int i = 0; i < 400; ++i) {
    const ChannelValue v = canonicalNaNs(random.value());
    const std::string text = printTypedJson(v);
    ASSERT_EQ(parseTypedJson(text), v) << text;
    // The DOM path reads the printed text the same way.
    ASSERT_EQ(channelValueFromJson(parseOrderedJson(text)), v) << text;
  }
  // Every double, printed shortest, reads back bit for bit.
  for (int i = 0; i < 20000; ++i) {
    double d = random.anyDouble();
    if (std::isnan(d)) continue;
    ASSERT_EQ(parseTypedJson(printTypedJson(ChannelValue(d))), ChannelValue(d))
        << printTypedJson(ChannelValue(d));
  }
}

TEST(TypedJsonTest, StringsThatAreNotUtf8CannotBePrinted) {
  EXPECT_THROW(printTypedJson(ChannelValue(std::string("\xc3"))), std::invalid_argument);
}

TEST(TypedJsonTest, MethodCodecForms) {
  for (const char* text : {
           R"({"method": "signBytes", "args": {"keyId": {"$bytes": "01"}}})",
           R"({"method": "m", "args": null})",
       }) {
    EXPECT_EQ(printMethodCallJson(parseMethodCallJson(text)), text);
  }
  for (
      const char* text : {
          R"({"result": [1, 2.0]})",
          R"({"code": "E", "message": null, "details": null})",
          R"({"code": "E", "message": "", "details": {"$int64": "5000000000"}, "stacktrace": "at x"})",
      }) {
    EXPECT_EQ(printEnvelopeJson(parseEnvelopeJson(text)), text);
  }
  const MethodCall call = parseMethodCallJson(R"({"method": "x"})");
  EXPECT_TRUE(call.arguments.isNull());
  EXPECT_EQ(
      parseMethodCallJson(printMethodCallJson({"y", ChannelValue(int64_t{1} << 40)})).arguments,
      ChannelValue(int64_t{1} << 40));

  for (const char* bad : {R"({"args": 1})", R"({"method": 1, "args": 1})",
                          R"({"method": "m", "args": 1, "extra": 0})", R"([])",
                          R"({"result": 1, "code": "E"})", R"({"message": "m"})", R"({"code": 1})",
                          R"({"code": "E", "message": 2})", R"({"code": "E", "stacktrace": []})"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(
        {
          if (std::string_view(bad).find("method") != std::string_view::npos ||
              std::string_view(bad).find("args") != std::string_view::npos) {
            parseMethodCallJson(bad);
          } else {
            parseEnvelopeJson(bad);
          }
        },
        std::invalid_argument);
  }
  EXPECT_THROW(parseMethodCallJson("[]"), std::invalid_argument);
}

}  // namespace
}  // namespace vellumark
