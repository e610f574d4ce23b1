// Shared machinery of the basic-message interfaces whose operations each have
// a channel of their own (preferences, URL launcher): the request envelope
// (a list of arguments), the reply envelopes (one element, or three for an
// error), the error wrapping, and the deep equality and hashing of records.
// Each interface carries its own codec (its own extension types); this file
// holds what the copies would otherwise repeat.
//
// Main-thread only, except deepEquals() and deepHash(), which any thread may
// call.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "embedding/channel_value.h"
#include "embedding/codec.h"
#include "embedding/messenger.h"

namespace vellumark::pigeon {

// An error an operation raises on purpose: it crosses as is.
struct PigeonError {
  std::string code;
  std::optional<std::string> message;
  ChannelValue details;
  bool operator==(const PigeonError&) const = default;
};

// Code of the error reply to a request that is not what the operation takes:
// not a list, too short, an argument of the wrong type, a malformed record.
inline constexpr char kInvalidArgsCode[] = "invalid-args";

// Deep equality of record list forms: null equals only null, lists element by
// element, maps by size and by key lookup, records by their own equality,
// everything else by value.
bool deepEquals(const ChannelValue& a, const ChannelValue& b);
// A hash consistent with deepEquals(). Map entries are combined without regard
// to their order, so maps that are equal hash alike.
size_t deepHash(const ChannelValue& value);

// A record of a codec extension whose payload is its list form.
class PigeonRecord : public CustomRecord {
 public:
  virtual ChannelList toList() const = 0;
  // The record's type name, used in descriptions and error messages.
  virtual std::string_view typeName() const = 0;
  // Equal when of the same type with deeply equal list forms.
  bool equals(const CustomRecord& other) const override;
  std::string describe() const override;
  size_t hash() const { return deepHash(ChannelValue(toList())); }
};

// What a codec's reader gives for an extension value whose payload has the
// wrong shape: the message still decodes, and the operation that meets it as
// an argument answers an "invalid-args" error naming `reason`.
class MalformedRecord : public CustomRecord {
 public:
  MalformedRecord(uint8_t type, std::string reason) : type_(type), reason_(std::move(reason)) {}
  static ChannelValue make(uint8_t type, std::string reason) {
    return ChannelValue(std::make_shared<const MalformedRecord>(type, std::move(reason)));
  }
  uint8_t type() const { return type_; }
  const std::string& reason() const { return reason_; }
  bool equals(const CustomRecord& other) const override;
  std::string describe() const override;

 private:
  uint8_t type_;
  std::string reason_;
};

// The reader-writer of one interface's codec: makes that codec's own reader
// and writer, which extend the standard ones with its extension types.
template <typename Reader, typename Writer>
class CodecReaderWriter : public StandardReaderWriter {
 public:
  std::unique_ptr<StandardReader> readerWithData(std::span<const uint8_t> data) const override {
    return std::make_unique<Reader>(data);
  }
  std::unique_ptr<StandardWriter> writerWithData(Bytes& out) const override {
    return std::make_unique<Writer>(out);
  }
};

// Throws the "invalid-args" PigeonError.
[[noreturn]] void throwInvalidArgs(std::string message);

// The arguments of one request. Every accessor throws the "invalid-args"
// PigeonError, naming the operation and the argument, when the argument is
// missing or of the wrong type.
class RequestEnvelope {
 public:
  // `message` must be a list of at least `arity` elements (more are ignored).
  RequestEnvelope(const ChannelValue& message, std::string operation, size_t arity);

  const std::string& stringArg(size_t index, std::string_view name) const;
  bool boolArg(size_t index, std::string_view name) const;
  // A double; an integer is taken by value.
  double doubleArg(size_t index, std::string_view name) const;
  // Any value but null.
  const ChannelValue& valueArg(size_t index, std::string_view name) const;
  // Null reads as absent.
  std::optional<std::vector<std::string>> optionalStringListArg(size_t index,
                                                                std::string_view name) const;

  // A record of type R; null reads as absent.
  template <typename R>
  std::shared_ptr<const R> optionalRecordArg(size_t index, std::string_view name) const {
    const ChannelValue& v = element(index);
    if (v.isNull()) return nullptr;
    if (const auto* custom = v.getIf<ChannelValue::Custom>()) {
      if (auto record = std::dynamic_pointer_cast<const R>(*custom)) return record;
    }
    wrongType(index, name, R::kTypeName);
  }
  template <typename R>
  std::shared_ptr<const R> recordArg(size_t index, std::string_view name) const {
    auto record = optionalRecordArg<R>(index, name);
    if (!record) wrongType(index, name, R::kTypeName);
    return record;
  }

 private:
  const ChannelValue& element(size_t index) const { return (*args_)[index]; }
  [[noreturn]] void wrongType(size_t index, std::string_view name, std::string_view want) const;

  const ChannelList* args_;
  std::string operation_;
};

// The success reply: a list holding the result (null for none).
ChannelValue wrapResult(const ChannelValue& result);
// The error reply of a raised error: a PigeonError or a ChannelError as they
// are; anything else as its description, its unqualified type name and
// "Stacktrace: " with the current call stack.
ChannelValue wrapError(std::exception_ptr error);

// The current call stack as a bracketed list of quoted frames.
std::string renderCallStack();

// Runs one operation: reads the request, computes the result. Throws to
// answer an error.
using OperationHandler = std::function<ChannelValue(const RequestEnvelope& request)>;

// The channel name of an operation: "dev.flutter.pigeon.<package>.<api>.<op>",
// with ".<suffix>" appended for a non-empty suffix.
std::string channelName(std::string_view package, std::string_view api, std::string_view operation,
                        std::string_view suffix);

// Installs the handler of one operation's basic-message channel on
// `messenger`, or with a null handler removes any handler of that name. The
// handler answers every message exactly once, before it returns; nothing it
// raises escapes.
void setUpOperation(BinaryMessenger& messenger, const std::string& channel,
                    std::shared_ptr<const MessageCodec> codec, size_t arity,
                    OperationHandler handler);

}  // namespace vellumark::pigeon
