#include "embedding/typed_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "utf8.h"

namespace vellumark {

namespace {

using OrderedJson = nlohmann::ordered_json;

constexpr std::string_view kInt64Tag = "$int64";
constexpr std::string_view kFloat64Tag = "$float64";
constexpr std::string_view kBytesTag = "$bytes";
constexpr std::string_view kInt32ListTag = "$int32list";
constexpr std::string_view kInt64ListTag = "$int64list";
constexpr std::string_view kFloat32ListTag = "$float32list";
constexpr std::string_view kFloat64ListTag = "$float64list";
constexpr std::string_view kMapTag = "$map";
constexpr std::string_view kCustomTag = "$custom";

constexpr std::string_view kNaN = "NaN";
constexpr std::string_view kInfinity = "Infinity";
constexpr std::string_view kMinusInfinity = "-Infinity";

// A tagged map value nests three JSON levels ({"$map": [[k, v]]}) per value level.
constexpr size_t kMaxJsonDepth = 3 * kMaxValueDepth + 8;

// ---- Parsing JSON text -------------------------------------------------------

// Builds an ordered_json from SAX events, so that it can see each number's
// literal: an integer too large for 64 bits must not quietly become a double.
class OrderedBuilder {
 public:
  explicit OrderedBuilder(std::string_view text) : text_(text) {}

  using number_integer_t = OrderedJson::number_integer_t;
  using number_unsigned_t = OrderedJson::number_unsigned_t;
  using number_float_t = OrderedJson::number_float_t;
  using string_t = OrderedJson::string_t;
  using binary_t = OrderedJson::binary_t;

  bool null() { return put(nullptr); }
  bool boolean(bool v) { return put(v); }
  bool number_integer(number_integer_t v) { return put(v); }
  bool number_unsigned(number_unsigned_t v) { return put(v); }
  bool number_float(number_float_t v, const string_t& literal) {
    if (literal.find_first_of(".eE") == string_t::npos) {
      return fail("integer " + literal + " does not fit 64 bits");
    }
    return put(v);
  }
  bool string(string_t& v) { return put(std::move(v)); }
  bool binary(binary_t&) { return fail("binary values are not JSON"); }
  bool start_object(std::size_t) { return open(OrderedJson::object()); }
  bool key(string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) { return open(OrderedJson::array()); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  // Said in our words, with where: the parser's own text names its internals.
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    return fail("not valid JSON at " + where(position) + ": " + reason(position, e.what()));
  }

  OrderedJson& root() { return root_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  OrderedJson* place(OrderedJson&& v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    OrderedJson& top = *stack_.back();
    if (top.is_array()) {
      top.push_back(std::move(v));
      return &top.back();
    }
    // A repeated key keeps its place and takes the last value.
    OrderedJson& slot = top[key_];
    slot = std::move(v);
    return &slot;
  }

  template <typename V>
  bool put(V&& v) {
    place(OrderedJson(std::forward<V>(v)));
    return true;
  }

  bool open(OrderedJson&& container) {
    if (stack_.size() >= kMaxJsonDepth) {
      return fail("JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    stack_.push_back(place(std::move(container)));
    return true;
  }

  // `position` counts the bytes read, the offending one included.
  std::string where(std::size_t position) const {
    const size_t end = std::min(position == 0 ? 0 : position - 1, text_.size());
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < end; ++i) {
      if (text_[i] == '\n') {
        ++line;
        lineStart = i + 1;
      }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(end - lineStart + 1);
  }

  std::string reason(std::size_t position, std::string_view what) const {
    auto says = [&](std::string_view part) { return what.find(part) != std::string_view::npos; };
    if (says("unexpected end of input") || position == 0 || position > text_.size()) {
      return "the text ends before the value does";
    }
    if (says("expected end of input")) return "more text after the value";
    if (says("UTF-8")) return "a string is not valid UTF-8";
    if (says("control character")) return "a control character in a string must be escaped";
    if (says("missing closing quote")) return "a string has no closing quote";
    if (says("\\u")) return "a \\u escape is not 4 hex digits or not a valid surrogate pair";
    if (says("invalid string")) return "a string has a bad escape";
    const auto c = static_cast<unsigned char>(text_[position - 1]);
    if (c < 0x20 || c >= 0x7F) {
      static constexpr char kDigits[] = "0123456789abcdef";
      return std::string("unexpected byte 0x") + kDigits[c >> 4] + kDigits[c & 0xF];
    }
    return std::string("unexpected '") + static_cast<char>(c) + "'";
  }

  std::string_view text_;
  OrderedJson root_;
  std::vector<OrderedJson*> stack_;
  std::string key_;
  std::string error_;
};

// ---- JSON to values ----------------------------------------------------------

template <typename Json>
class FromJson {
 public:
  ChannelValue value(const Json& j) {
    if (depth_ >= kMaxValueDepth) {
      fail("values nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
    }
    ++depth_;
    ChannelValue v = convert(j);
    --depth_;
    return v;
  }

 private:
  struct Step {
    const std::string* key;
    size_t index;
  };

  [[noreturn]] void fail(const std::string& message) const {
    std::string where;
    for (const Step& s : path_) {
      // Appended piece by piece: GCC 12 -O3 misreads "x" + string (-Wrestrict).
      if (s.key != nullptr) {
        where += '.';
        where += *s.key;
      } else {
        where += '[';
        where += std::to_string(s.index);
        where += ']';
      }
    }
    throw std::invalid_argument("typed JSON: " + message + (where.empty() ? "" : " at " + where));
  }

  template <typename F>
  auto at(size_t index, F&& f) {
    path_.push_back({nullptr, index});
    auto r = f();
    path_.pop_back();
    return r;
  }
  template <typename F>
  auto at(const std::string& key, F&& f) {
    path_.push_back({&key, 0});
    auto r = f();
    path_.pop_back();
    return r;
  }

  ChannelValue integer(const Json& j) {
    if (j.is_number_unsigned()) {
      const auto u = j.template get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return ChannelValue(static_cast<int32_t>(u));
      }
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return ChannelValue(static_cast<int64_t>(u));
      }
      fail("integer " + std::to_string(u) + " does not fit 64 bits");
    }
    const auto i = j.template get<int64_t>();
    if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max()) {
      return ChannelValue(static_cast<int32_t>(i));
    }
    return ChannelValue(i);
  }

  // A 64-bit integer given as a decimal string (or as a JSON integer).
  int64_t int64Of(const Json& j) {
    if (j.is_number_integer()) {
      ChannelValue v = integer(j);
      return *v.asInteger();
    }
    if (!j.is_string()) fail("expected a 64-bit integer as a decimal string");
    const auto& s = j.template get_ref<const std::string&>();
    int64_t v = 0;
    const char* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, v);
    if (s.empty() || ec != std::errc() || ptr != end) {
      fail("\"" + s + "\" is not a decimal 64-bit integer");
    }
    return v;
  }

  // A double given as a JSON number or as one of the non-finite names.
  double doubleOf(const Json& j) {
    if (j.is_number()) return j.template get<double>();
    if (j.is_string()) {
      const auto& s = j.template get_ref<const std::string&>();
      if (s == kNaN) return std::numeric_limits<double>::quiet_NaN();
      if (s == kInfinity) return std::numeric_limits<double>::infinity();
      if (s == kMinusInfinity) return -std::numeric_limits<double>::infinity();
    }
    fail("expected a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
  }

  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  const Json& arrayOf(const Json& j, std::string_view tag) {
    if (!j.is_array()) fail(std::string(tag) + " takes an array");
    return j;
  }

  ChannelValue tagged(const std::string& tag, const Json& j) {
    if (tag == kInt64Tag) return ChannelValue(int64Of(j));
    if (tag == kFloat64Tag) return ChannelValue(doubleOf(j));
    if (tag == kBytesTag) {
      if (!j.is_string()) fail("$bytes takes a hex string");
      const auto& s = j.template get_ref<const std::string&>();
      if (s.size() % 2 != 0) fail("$bytes has an odd number of hex digits");
      Bytes out(s.size() / 2);
      for (size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigit(s[2 * i]);
        const int lo = hexDigit(s[2 * i + 1]);
        if (hi < 0 || lo < 0) fail("$bytes has a character that is not a hex digit");
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
      }
      return ChannelValue::bytes(std::move(out));
    }
    if (tag == kInt32ListTag) {
      std::vector<int32_t> out;
      const Json& a = arrayOf(j, tag);
      out.reserve(a.size());
      for (size_t i = 0; i < a.size(); ++i) {
        out.push_back(at(i, [&] {
          if (!a[i].is_number_integer()) fail("expected an integer");
          ChannelValue v = integer(a[i]);
          if (!v.is<int32_t>()) fail("integer does not fit 32 bits");
          return v.get<int32_t>();
        }));
      }
      return ChannelValue(FlutterStandardTypedData::typedDataWithInt32(out));
    }
    if (tag == kInt64ListTag) {
      std::vector<int64_t> out;
      const Json& a = arrayOf(j, tag);
      out.reserve(a.size());
      for (size_t i = 0; i < a.size(); ++i) out.push_back(at(i, [&] { return int64Of(a[i]); }));
      return ChannelValue(FlutterStandardTypedData::typedDataWithInt64(out));
    }
    if (tag == kFloat32ListTag) {
      std::vector<float> out;
      const Json& a = arrayOf(j, tag);
      out.reserve(a.size());
      for (size_t i = 0; i < a.size(); ++i) {
        out.push_back(at(i, [&] {
          const double d = doubleOf(a[i]);
          const auto f = static_cast<float>(d);
          if (std::isfinite(d) && !std::isfinite(f)) fail("number does not fit a float32");
          return f;
        }));
      }
      return ChannelValue(FlutterStandardTypedData::typedDataWithFloat32(out));
    }
    if (tag == kFloat64ListTag) {
      std::vector<double> out;
      const Json& a = arrayOf(j, tag);
      out.reserve(a.size());
      for (size_t i = 0; i < a.size(); ++i) out.push_back(at(i, [&] { return doubleOf(a[i]); }));
      return ChannelValue(FlutterStandardTypedData::typedDataWithFloat64(out));
    }
    if (tag == kMapTag) {
      const Json& a = arrayOf(j, tag);
      ChannelMap map;
      map.reserve(a.size());
      for (size_t i = 0; i < a.size(); ++i) {
        at(i, [&] {
          if (!a[i].is_array() || a[i].size() != 2) fail("a $map entry is a [key, value] pair");
          ChannelValue k = at(size_t{0}, [&] { return value(a[i][0]); });
          ChannelValue v = at(size_t{1}, [&] { return value(a[i][1]); });
          map.append(std::move(k), std::move(v));
          return 0;
        });
      }
      map.removeDuplicateKeys();
      return ChannelValue(std::move(map));
    }
    if (tag == kCustomTag) fail("extension records cannot be read from JSON");
    fail("unknown tag \"" + tag + "\" (a map key starting with '$' needs the $map form)");
  }

  ChannelValue convert(const Json& j) {
    switch (j.type()) {
      case nlohmann::json::value_t::null:
        return ChannelValue();
      case nlohmann::json::value_t::boolean:
        return ChannelValue(j.template get<bool>());
      case nlohmann::json::value_t::number_integer:
      case nlohmann::json::value_t::number_unsigned:
        return integer(j);
      case nlohmann::json::value_t::number_float:
        return ChannelValue(j.template get<double>());
      case nlohmann::json::value_t::string:
        return ChannelValue(j.template get<std::string>());
      case nlohmann::json::value_t::array: {
        ChannelList list;
        list.reserve(j.size());
        for (size_t i = 0; i < j.size(); ++i) list.push_back(at(i, [&] { return value(j[i]); }));
        return ChannelValue(std::move(list));
      }
      case nlohmann::json::value_t::object: {
        if (j.size() == 1 && j.begin().key().starts_with('$')) {
          const std::string& tag = j.begin().key();
          return at(tag, [&] { return tagged(tag, j.begin().value()); });
        }
        ChannelMap map;
        map.reserve(j.size());
        for (auto it = j.begin(); it != j.end(); ++it) {
          const std::string& key = it.key();
          if (key.starts_with('$')) {
            fail("key \"" + key + "\" starts with '$': write this map in the $map form");
          }
          map.append(ChannelValue(key), at(key, [&] { return value(it.value()); }));
        }
        return ChannelValue(std::move(map));
      }
      default:
        fail("binary values are not typed JSON");
    }
  }

  std::vector<Step> path_;
  size_t depth_ = 0;
};

// ---- Values to JSON ----------------------------------------------------------

std::string_view nonFiniteName(double d) {
  if (std::isnan(d)) return kNaN;
  return d > 0 ? kInfinity : kMinusInfinity;
}

std::string hexOf(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xf];
  }
  return out;
}

bool isObjectMap(const ChannelMap& map) {
  for (const auto& [k, v] : map) {
    const std::string* s = k.asString();
    if (s == nullptr || s->starts_with('$')) return false;
  }
  return true;
}

// ---- Printing ----------------------------------------------------------------

class Printer {
 public:
  std::string take() { return std::move(out_); }

  void string(std::string_view s) {
    if (!internal::isValidUtf8(s.data(), s.size())) {
      throw std::invalid_argument("typed JSON: a string is not valid UTF-8");
    }
    out_ += '"';
    for (char c : s) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            static constexpr char kDigits[] = "0123456789abcdef";
            out_ += "\\u00";
            out_ += kDigits[(c >> 4) & 0xf];
            out_ += kDigits[c & 0xf];
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
  }

  // Shortest text that reads back to the same number; always marked as a
  // double (a fraction or an exponent).
  template <typename F>
  void number(F d) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string_view text(buf, static_cast<size_t>(end - buf));
    out_ += text;
    if (text.find_first_of(".e") == std::string_view::npos) out_ += ".0";
  }

  template <typename F>
  void listElement(F d) {
    if (std::isfinite(d)) {
      number(d);
    } else {
      string(nonFiniteName(static_cast<double>(d)));
    }
  }

  void tagOpen(std::string_view tag) {
    out_ += "{\"";
    out_ += tag;
    out_ += "\": ";
  }

  void value(const ChannelValue& v) {
    switch (v.index()) {
      case 0:
        out_ += "null";
        return;
      case 1:
        out_ += v.get<bool>() ? "true" : "false";
        return;
      case 2:
        out_ += std::to_string(v.get<int32_t>());
        return;
      case 3:
        tagOpen(kInt64Tag);
        string(std::to_string(v.get<int64_t>()));
        out_ += '}';
        return;
      case 4: {
        const double d = v.get<double>();
        if (std::isfinite(d)) {
          number(d);
        } else {
          tagOpen(kFloat64Tag);
          string(nonFiniteName(d));
          out_ += '}';
        }
        return;
      }
      case 5:
        string(v.get<std::string>());
        return;
      case 6:
        typed(v.get<FlutterStandardTypedData>());
        return;
      case 7: {
        out_ += '[';
        bool first = true;
        for (const auto& e : v.get<ChannelList>()) {
          if (!first) out_ += ", ";
          first = false;
          value(e);
        }
        out_ += ']';
        return;
      }
      case 8:
        map(v.get<ChannelMap>());
        return;
      default: {
        const auto& record = v.get<ChannelValue::Custom>();
        tagOpen(kCustomTag);
        string(record ? record->describe() : std::string("null"));
        out_ += '}';
        return;
      }
    }
  }

  void map(const ChannelMap& m) {
    bool first = true;
    if (isObjectMap(m)) {
      out_ += '{';
      for (const auto& [k, v] : m) {
        if (!first) out_ += ", ";
        first = false;
        string(k.get<std::string>());
        out_ += ": ";
        value(v);
      }
      out_ += '}';
      return;
    }
    tagOpen(kMapTag);
    out_ += '[';
    for (const auto& [k, v] : m) {
      if (!first) out_ += ", ";
      first = false;
      out_ += '[';
      value(k);
      out_ += ", ";
      value(v);
      out_ += ']';
    }
    out_ += "]}";
  }

  void typed(const FlutterStandardTypedData& t) {
    using Type = FlutterStandardTypedData::Type;
    if (t.type() == Type::UInt8) {
      tagOpen(kBytesTag);
      out_ += '"';
      out_ += hexOf(t.data());
      out_ += "\"}";
      return;
    }
    const std::string_view tag = t.type() == Type::Int32     ? kInt32ListTag
                                 : t.type() == Type::Int64   ? kInt64ListTag
                                 : t.type() == Type::Float32 ? kFloat32ListTag
                                                             : kFloat64ListTag;
    tagOpen(tag);
    out_ += '[';
    switch (t.type()) {
      case Type::Int32:
        elements(t.int32Elements(), [this](int32_t e) { out_ += std::to_string(e); });
        break;
      case Type::Int64:
        elements(t.int64Elements(), [this](int64_t e) { string(std::to_string(e)); });
        break;
      case Type::Float32:
        elements(t.float32Elements(), [this](float e) { listElement(e); });
        break;
      default:
        elements(t.float64Elements(), [this](double e) { listElement(e); });
        break;
    }
    out_ += "]}";
  }

  template <typename T, typename F>
  void elements(const std::vector<T>& list, F&& print) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (i > 0) out_ += ", ";
      print(list[i]);
    }
  }

  void raw(std::string_view s) { out_ += s; }

 private:
  std::string out_;
};

const OrderedJson& memberOrNull(const OrderedJson& object, const char* key) {
  static const OrderedJson kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

[[noreturn]] void failForm(const std::string& message) {
  throw std::invalid_argument("typed JSON: " + message);
}

void checkKeys(const OrderedJson& object, std::initializer_list<std::string_view> allowed,
               const char* form) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool known = false;
    for (std::string_view a : allowed) known = known || it.key() == a;
    if (!known) failForm("unexpected key \"" + it.key() + "\" in " + form);
  }
}

}  // namespace

nlohmann::ordered_json parseOrderedJson(std::string_view text) {
  OrderedBuilder builder(text);
  const bool ok = OrderedJson::sax_parse(text.begin(), text.end(), &builder);
  if (!ok) {
    throw std::invalid_argument("typed JSON: " + (builder.error().empty()
                                                      ? std::string("malformed JSON")
                                                      : builder.error()));
  }
  return std::move(builder.root());
}

ChannelValue channelValueFromJson(const nlohmann::ordered_json& json) {
  return FromJson<nlohmann::ordered_json>().value(json);
}

std::string printTypedJson(const ChannelValue& value) {
  Printer p;
  p.value(value);
  return p.take();
}

ChannelValue parseTypedJson(std::string_view text) {
  return channelValueFromJson(parseOrderedJson(text));
}

MethodCall methodCallFromJson(const nlohmann::ordered_json& json) {
  if (!json.is_object()) failForm("a method call is {\"method\": name, \"args\": value}");
  checkKeys(json, {"method", "args"}, "a method call");
  const OrderedJson& method = memberOrNull(json, "method");
  if (!method.is_string()) failForm("a method call needs a \"method\" string");
  return MethodCall{method.get<std::string>(), channelValueFromJson(memberOrNull(json, "args"))};
}

std::string printMethodCallJson(const MethodCall& call) {
  Printer p;
  p.raw("{\"method\": ");
  p.string(call.method);
  p.raw(", \"args\": ");
  p.value(call.arguments);
  p.raw("}");
  return p.take();
}

MethodCall parseMethodCallJson(std::string_view text) {
  return methodCallFromJson(parseOrderedJson(text));
}

MethodEnvelope envelopeFromJson(const nlohmann::ordered_json& json) {
  if (!json.is_object()) failForm("an envelope is {\"result\": ...} or {\"code\": ...}");
  if (json.contains("result")) {
    checkKeys(json, {"result"}, "a success envelope");
    return channelValueFromJson(json["result"]);
  }
  if (!json.contains("code")) failForm("an envelope needs \"result\" or \"code\"");
  checkKeys(json, {"code", "message", "details", "stacktrace"}, "an error envelope");
  ChannelError error;
  const OrderedJson& code = json["code"];
  if (!code.is_string()) failForm("an error envelope's \"code\" is a string");
  error.code = code.get<std::string>();
  const OrderedJson& message = memberOrNull(json, "message");
  if (message.is_string()) {
    error.message = message.get<std::string>();
  } else if (!message.is_null()) {
    failForm("an error envelope's \"message\" is a string or null");
  }
  error.details = channelValueFromJson(memberOrNull(json, "details"));
  const OrderedJson& stacktrace = memberOrNull(json, "stacktrace");
  if (stacktrace.is_string()) {
    error.stacktrace = stacktrace.get<std::string>();
  } else if (!stacktrace.is_null()) {
    failForm("an error envelope's \"stacktrace\" is a string or null");
  }
  return error;
}

std::string printEnvelopeJson(const MethodEnvelope& envelope) {
  Printer p;
  if (const auto* result = std::get_if<ChannelValue>(&envelope)) {
    p.raw("{\"result\": ");
    p.value(*result);
    p.raw("}");
    return p.take();
  }
  const auto& error = std::get<ChannelError>(envelope);
  p.raw("{\"code\": ");
  p.string(error.code);
  p.raw(", \"message\": ");
  if (error.message) {
    p.string(*error.message);
  } else {
    p.raw("null");
  }
  p.raw(", \"details\": ");
  p.value(error.details);
  if (error.stacktrace) {
    p.raw(", \"stacktrace\": ");
    p.string(*error.stacktrace);
  }
  p.raw("}");
  return p.take();
}

MethodEnvelope parseEnvelopeJson(std::string_view text) {
  return envelopeFromJson(parseOrderedJson(text));
}

}  // namespace vellumark
