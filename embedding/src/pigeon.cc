#include "embedding/pigeon.h"

#include <cxxabi.h>

#include <bit>
#include <cstdlib>
#include <typeinfo>
#include <utility>

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define VELLUMARK_HAVE_BACKTRACE 1
#endif

namespace vellumark::pigeon {
namespace {

constexpr char kChannelPrefix[] = "dev.flutter.pigeon.";
constexpr char kStacktracePrefix[] = "Stacktrace: ";
constexpr char kEncodingErrorCode[] = "encoding-error";
constexpr int kMaxStackFrames = 64;

size_t mix(size_t seed, size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// What a value is, for error messages.
std::string kindOf(const ChannelValue& v) {
  if (v.isNull()) return "null";
  if (v.is<bool>()) return "a bool";
  if (v.isInteger()) return "an integer";
  if (v.is<double>()) return "a double";
  if (v.is<std::string>()) return "a string";
  if (v.is<FlutterStandardTypedData>()) return "typed data";
  if (v.is<ChannelList>()) return "a list";
  if (v.is<ChannelMap>()) return "a map";
  const auto& custom = v.get<ChannelValue::Custom>();
  return custom ? "a " + custom->describe() : "a record";
}

std::string demangle(const char* name) {
  int status = 0;
  char* raw = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && raw != nullptr ? raw : name;
  std::free(raw);
  return result;
}

// "a::b::C<x::Y>" -> "C<x::Y>".
std::string unqualified(const std::string& name) {
  const size_t templateStart = name.find('<');
  const size_t scope = name.rfind("::", templateStart);
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

ChannelValue errorList(std::string code, std::optional<std::string> message, ChannelValue details) {
  return ChannelList{ChannelValue(std::move(code)),
                     message ? ChannelValue(std::move(*message)) : ChannelValue(),
                     std::move(details)};
}

ChannelValue otherError(const std::string& description, const std::string& typeName) {
  return errorList(description, unqualified(typeName), kStacktracePrefix + renderCallStack());
}

}  // namespace

bool deepEquals(const ChannelValue& a, const ChannelValue& b) {
  if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
  const auto* listA = a.asList();
  const auto* listB = b.asList();
  if (listA != nullptr || listB != nullptr) {
    if (listA == nullptr || listB == nullptr || listA->size() != listB->size()) return false;
    for (size_t i = 0; i < listA->size(); ++i) {
      if (!deepEquals((*listA)[i], (*listB)[i])) return false;
    }
    return true;
  }
  const auto* mapA = a.asMap();
  const auto* mapB = b.asMap();
  if (mapA != nullptr || mapB != nullptr) {
    if (mapA == nullptr || mapB == nullptr || mapA->size() != mapB->size()) return false;
    for (const auto& [key, value] : *mapA) {
      const ChannelValue* other = mapB->find(key);
      if (other == nullptr || !deepEquals(value, *other)) return false;
    }
    return true;
  }
  const auto* customA = a.getIf<ChannelValue::Custom>();
  const auto* customB = b.getIf<ChannelValue::Custom>();
  if (customA != nullptr || customB != nullptr) {
    if (customA == nullptr || customB == nullptr || !*customA || !*customB) return false;
    return (*customA)->equals(**customB);
  }
  return a == b;
}

size_t deepHash(const ChannelValue& value) {
  if (value.isNull()) return 0x6e756c6cU;
  if (const auto* list = value.asList()) {
    size_t h = list->size();
    for (const auto& element : *list) h = mix(h, deepHash(element));
    return h;
  }
  if (const auto* map = value.asMap()) {
    // A sum, so equal maps in another order hash alike.
    size_t h = 0;
    for (const auto& [k, v] : *map) h += mix(deepHash(k), deepHash(v));
    return mix(map->size(), h);
  }
  if (auto i = value.asInteger()) return mix(1, std::hash<int64_t>{}(*i));
  if (const auto* b = value.getIf<bool>()) return mix(2, *b ? 1U : 0U);
  if (const auto* d = value.getIf<double>())
    return mix(3, std::hash<uint64_t>{}(std::bit_cast<uint64_t>(*d)));
  if (const auto* s = value.asString()) return mix(4, std::hash<std::string>{}(*s));
  if (const auto* t = value.getIf<FlutterStandardTypedData>()) {
    std::string_view raw(reinterpret_cast<const char*>(t->data().data()), t->data().size());
    return mix(static_cast<size_t>(t->type()) + 5, std::hash<std::string_view>{}(raw));
  }
  const auto& custom = value.get<ChannelValue::Custom>();
  if (const auto* record = dynamic_cast<const PigeonRecord*>(custom.get())) return record->hash();
  return mix(16, std::hash<std::string>{}(custom ? custom->describe() : std::string()));
}

bool PigeonRecord::equals(const CustomRecord& other) const {
  const auto* record = dynamic_cast<const PigeonRecord*>(&other);
  return record != nullptr && typeid(*record) == typeid(*this) &&
         deepEquals(ChannelValue(toList()), ChannelValue(record->toList()));
}

std::string PigeonRecord::describe() const { return std::string(typeName()); }

bool MalformedRecord::equals(const CustomRecord& other) const {
  const auto* record = dynamic_cast<const MalformedRecord*>(&other);
  return record != nullptr && record->type_ == type_ && record->reason_ == reason_;
}

std::string MalformedRecord::describe() const {
  return "malformed record of type " + std::to_string(type_) + " (" + reason_ + ")";
}

void throwInvalidArgs(std::string message) {
  throw PigeonError{kInvalidArgsCode, std::move(message), ChannelValue()};
}

RequestEnvelope::RequestEnvelope(const ChannelValue& message, std::string operation, size_t arity)
    : args_(message.asList()), operation_(std::move(operation)) {
  if (args_ == nullptr) {
    throwInvalidArgs(operation_ + ": the request must be a list of " + std::to_string(arity) +
                     " arguments, got " + kindOf(message));
  }
  if (args_->size() < arity) {
    throwInvalidArgs(operation_ + ": the request must hold " + std::to_string(arity) +
                     " arguments, got " + std::to_string(args_->size()));
  }
}

void RequestEnvelope::wrongType(size_t index, std::string_view name, std::string_view want) const {
  const ChannelValue& v = element(index);
  std::string got = kindOf(v);
  if (const auto* custom = v.getIf<ChannelValue::Custom>()) {
    if (const auto* malformed = dynamic_cast<const MalformedRecord*>(custom->get())) {
      got = "a malformed record: " + malformed->reason();
    }
  }
  throwInvalidArgs(operation_ + ": argument " + std::to_string(index) + " (" + std::string(name) +
                   ") must be " + std::string(want) + ", got " + got);
}

const std::string& RequestEnvelope::stringArg(size_t index, std::string_view name) const {
  const auto* s = element(index).asString();
  if (s == nullptr) wrongType(index, name, "a string");
  return *s;
}

bool RequestEnvelope::boolArg(size_t index, std::string_view name) const {
  const auto* b = element(index).getIf<bool>();
  if (b == nullptr) wrongType(index, name, "a bool");
  return *b;
}

double RequestEnvelope::doubleArg(size_t index, std::string_view name) const {
  const ChannelValue& v = element(index);
  if (const auto* d = v.getIf<double>()) return *d;
  if (auto i = v.asInteger()) return static_cast<double>(*i);
  wrongType(index, name, "a double");
}

const ChannelValue& RequestEnvelope::valueArg(size_t index, std::string_view name) const {
  const ChannelValue& v = element(index);
  const auto* custom = v.getIf<ChannelValue::Custom>();
  if (v.isNull() || (custom != nullptr && dynamic_cast<const MalformedRecord*>(custom->get()))) {
    wrongType(index, name, "a value");
  }
  return v;
}

std::optional<std::vector<std::string>> RequestEnvelope::optionalStringListArg(
    size_t index, std::string_view name) const {
  const ChannelValue& v = element(index);
  if (v.isNull()) return std::nullopt;
  const auto* list = v.asList();
  if (list == nullptr) wrongType(index, name, "a list of strings");
  std::vector<std::string> strings;
  strings.reserve(list->size());
  for (const auto& element : *list) {
    const auto* s = element.asString();
    if (s == nullptr) {
      throwInvalidArgs(operation_ + ": argument " + std::to_string(index) + " (" +
                       std::string(name) + ") must be a list of strings, holds " + kindOf(element));
    }
    strings.push_back(*s);
  }
  return strings;
}

ChannelValue wrapResult(const ChannelValue& result) { return ChannelList{result}; }

ChannelValue wrapError(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const PigeonError& e) {
    return errorList(e.code, e.message, e.details);
  } catch (const ChannelError& e) {
    return errorList(e.code, e.message, e.details);
  } catch (const std::exception& e) {
    return otherError(e.what(), demangle(typeid(e).name()));
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return otherError("unknown error", type != nullptr ? demangle(type->name()) : "unknown");
  }
}

std::string renderCallStack() {
  std::string out = "[";
#ifdef VELLUMARK_HAVE_BACKTRACE
  void* frames[kMaxStackFrames];
  const int count = ::backtrace(frames, kMaxStackFrames);
  char** symbols = ::backtrace_symbols(frames, count);
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += quoted(symbols != nullptr ? symbols[i] : "?");
  }
  std::free(symbols);
#endif
  return out + "]";
}

std::string channelName(std::string_view package, std::string_view api, std::string_view operation,
                        std::string_view suffix) {
  std::string name = kChannelPrefix;
  name.append(package).append(".").append(api).append(".").append(operation);
  if (!suffix.empty()) name.append(".").append(suffix);
  return name;
}

void setUpOperation(BinaryMessenger& messenger, const std::string& channel,
                    std::shared_ptr<const MessageCodec> codec, size_t arity,
                    OperationHandler handler) {
  if (!handler) {
    messenger.setMessageHandler(channel, nullptr);
    return;
  }
  const size_t dot = channel.rfind('.');
  std::string operation = dot == std::string::npos ? channel : channel.substr(dot + 1);
  messenger.setMessageHandler(
      channel, [codec = std::move(codec), arity, operation = std::move(operation),
                handler = std::move(handler)](std::span<const uint8_t> message, BinaryReply reply) {
        ChannelValue answer;
        ChannelValue request;
        bool decoded = false;
        try {
          request = codec->decodeMessage(message);
          decoded = true;
        } catch (const CodecError& e) {
          answer =
              errorList(kInvalidArgsCode, operation + ": the request does not decode: " + e.what(),
                        ChannelValue());
        }
        if (decoded) {
          try {
            answer = wrapResult(handler(RequestEnvelope(request, operation, arity)));
          } catch (...) {
            answer = wrapError(std::current_exception());
          }
        }
        Bytes bytes;
        try {
          bytes = codec->encodeMessage(answer);
        } catch (const std::exception& e) {
          // A result the codec cannot carry (a string that is not UTF-8, say).
          try {
            bytes = codec->encodeMessage(errorList(
                kEncodingErrorCode, operation + ": the reply cannot be encoded: " + e.what(),
                ChannelValue()));
          } catch (const std::exception&) {
            bytes.clear();  // the empty reply, as for any answer that cannot be sent
          }
        }
        reply(bytes);
      });
}

}  // namespace vellumark::pigeon
