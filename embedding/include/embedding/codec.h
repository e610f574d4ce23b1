// The engine's standard message codec and standard method codec, byte-exact,
// with the reader/writer extension points used by custom codecs.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>

#include "embedding/channel_value.h"

namespace vellumark {

// Any malformed input: truncated data, unknown type byte, trailing bytes,
// invalid UTF-8, a method call or envelope of the wrong shape.
class CodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Deepest nesting a decoder accepts (a scalar at top level is depth 1). Keeps
// hostile messages from exhausting the stack.
inline constexpr size_t kMaxValueDepth = 1000;

struct MethodCall {
  std::string method;
  ChannelValue arguments;
};

struct ChannelError {
  std::string code;
  std::optional<std::string> message;
  ChannelValue details;
  // A fourth envelope element some peers append; never written by this host
  // unless set.
  std::optional<std::string> stacktrace;

  static ChannelError errorWithCode(std::string code, std::optional<std::string> message,
                                    ChannelValue details = {}) {
    return ChannelError{std::move(code), std::move(message), std::move(details), std::nullopt};
  }
  bool operator==(const ChannelError&) const = default;
};

// Reads standard-codec values from a buffer. Subclasses override
// readValueOfType() for extension type bytes and call the base for the rest.
// Offsets used for alignment count from the start of the whole message.
class StandardReader {
 public:
  explicit StandardReader(std::span<const uint8_t> data) : data_(data) {}
  virtual ~StandardReader() = default;

  ChannelValue readValue();
  virtual ChannelValue readValueOfType(uint8_t type);

  uint8_t readByte() {
    need(1);
    return data_[pos_++];
  }
  size_t readSize() {
    const uint8_t first = readByte();
    return first < 254 ? first : readLongSize(first);
  }
  void readBytes(void* out, size_t n);
  void readAlignment(size_t alignment);
  std::string readUtf8();
  bool hasMore() const { return pos_ < data_.size(); }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

 private:
  // An element of a container: exactly a StandardReader needs no virtual call.
  ChannelValue readElement(bool exact);
  ChannelValue readTypedData(uint8_t type);
  ChannelValue readList();
  ChannelValue readMap();
  void need(size_t n) const {
    if (n > data_.size() - pos_) throwTruncated(n);
  }
  [[noreturn]] void throwTruncated(size_t n) const;
  size_t readLongSize(uint8_t first);
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  size_t depth_ = 0;
};

// Writes standard-codec values. Subclasses override writeValue() to write
// their own records (a type byte of 128..255 and a payload) and call the base
// for everything else.
class StandardWriter {
 public:
  explicit StandardWriter(Bytes& out) : out_(out) {}
  virtual ~StandardWriter() = default;

  virtual void writeValue(const ChannelValue& value);

  void writeByte(uint8_t b) { out_.push_back(b); }
  void writeSize(size_t n);
  void writeBytes(const void* data, size_t n);
  void writeAlignment(size_t alignment);
  void writeUtf8(std::string_view s);

 private:
  // An element of a container: exactly a StandardWriter needs no virtual call.
  void writeElement(const ChannelValue& value, bool exact) {
    if (exact) {
      StandardWriter::writeValue(value);
    } else {
      writeValue(value);
    }
  }
  // Appends a few bytes of known count; cheaper than a general insert.
  template <size_t N>
  void writeFixed(const uint8_t (&bytes)[N]);
  Bytes& out_;
};

// Makes the reader and writer a codec uses (the engine's
// FlutterStandardReaderWriter).
class StandardReaderWriter {
 public:
  virtual ~StandardReaderWriter() = default;
  virtual std::unique_ptr<StandardReader> readerWithData(std::span<const uint8_t> data) const;
  virtual std::unique_ptr<StandardWriter> writerWithData(Bytes& out) const;
};

class MessageCodec {
 public:
  virtual ~MessageCodec() = default;
  // Throws CodecError for a value the codec cannot carry: a string that is not
  // UTF-8, typed data of a partial element, a record no extension writes.
  virtual Bytes encodeMessage(const ChannelValue& message) const = 0;
  // An empty message decodes to null. Throws CodecError.
  virtual ChannelValue decodeMessage(std::span<const uint8_t> message) const = 0;
};

class StandardMessageCodec : public MessageCodec {
 public:
  static std::shared_ptr<const StandardMessageCodec> sharedInstance();
  static std::shared_ptr<const StandardMessageCodec> codecWithReaderWriter(
      std::shared_ptr<const StandardReaderWriter> readerWriter);

  explicit StandardMessageCodec(std::shared_ptr<const StandardReaderWriter> readerWriter);

  Bytes encodeMessage(const ChannelValue& message) const override;
  ChannelValue decodeMessage(std::span<const uint8_t> message) const override;
  const StandardReaderWriter& readerWriter() const { return *rw_; }

 private:
  std::shared_ptr<const StandardReaderWriter> rw_;
};

// Decoded reply envelope: a success value or an error.
using MethodEnvelope = std::variant<ChannelValue, ChannelError>;

class StandardMethodCodec {
 public:
  static std::shared_ptr<const StandardMethodCodec> sharedInstance();
  static std::shared_ptr<const StandardMethodCodec> codecWithReaderWriter(
      std::shared_ptr<const StandardReaderWriter> readerWriter);

  explicit StandardMethodCodec(std::shared_ptr<const StandardReaderWriter> readerWriter);

  Bytes encodeMethodCall(const MethodCall& call) const;
  MethodCall decodeMethodCall(std::span<const uint8_t> message) const;  // throws CodecError
  Bytes encodeSuccessEnvelope(const ChannelValue& result) const;
  Bytes encodeErrorEnvelope(const ChannelError& error) const;
  // Throws CodecError, also for an empty buffer (an empty reply is not an
  // envelope: callers check for it first).
  MethodEnvelope decodeEnvelope(std::span<const uint8_t> envelope) const;

 private:
  std::shared_ptr<const StandardReaderWriter> rw_;
};

}  // namespace vellumark
