// The URL launcher's message codec and interface wiring: the standard codec
// extended with the launcher's records, and the set-up of one basic-message
// channel per operation of UrlLauncherApi. Main-thread only, except
// MessagesPigeonCodec::sharedInstance(), which any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "embedding/codec.h"
#include "embedding/messenger.h"
#include "embedding/pigeon.h"

namespace vellumark::url_launcher {

enum class UrlLauncherError : int64_t {
  invalidUrl = 0,
};

// UrlLauncherError as a channel value (type byte 129, its raw value).
class UrlLauncherErrorBox : public CustomRecord {
 public:
  static constexpr std::string_view kTypeName = "UrlLauncherError";
  explicit UrlLauncherErrorBox(UrlLauncherError value) : value_(value) {}
  static ChannelValue make(UrlLauncherError value) {
    return ChannelValue(std::make_shared<const UrlLauncherErrorBox>(value));
  }
  UrlLauncherError value() const { return value_; }
  int64_t rawValue() const { return static_cast<int64_t>(value_); }
  bool equals(const CustomRecord& other) const override;
  std::string describe() const override;
  size_t hash() const { return static_cast<size_t>(rawValue()); }

 private:
  UrlLauncherError value_;
};

// The answer of both operations (type byte 130): [value, error].
class UrlLauncherBoolResult : public pigeon::PigeonRecord {
 public:
  static constexpr std::string_view kTypeName = "UrlLauncherBoolResult";
  UrlLauncherBoolResult(bool value, std::optional<UrlLauncherError> error)
      : value_(value), error_(error) {}
  static ChannelValue make(bool value, std::optional<UrlLauncherError> error = std::nullopt) {
    return ChannelValue(std::make_shared<const UrlLauncherBoolResult>(value, error));
  }
  // From the list form; nullopt, with `why` set, when the list has the
  // wrong shape.
  static std::optional<UrlLauncherBoolResult> fromList(const ChannelList& list, std::string& why);

  bool value() const { return value_; }
  std::optional<UrlLauncherError> error() const { return error_; }
  ChannelList toList() const override;
  std::string_view typeName() const override { return kTypeName; }
  std::string describe() const override;
  bool operator==(const UrlLauncherBoolResult& o) const {
    return value_ == o.value_ && error_ == o.error_;
  }

 private:
  bool value_;
  std::optional<UrlLauncherError> error_;
};

inline constexpr uint8_t kUrlLauncherErrorType = 129;
inline constexpr uint8_t kUrlLauncherBoolResultType = 130;

class MessagesPigeonCodecReader : public StandardReader {
 public:
  using StandardReader::StandardReader;
  // A payload of the wrong shape reads as a pigeon::MalformedRecord.
  ChannelValue readValueOfType(uint8_t type) override;
};

class MessagesPigeonCodecWriter : public StandardWriter {
 public:
  using StandardWriter::StandardWriter;
  void writeValue(const ChannelValue& value) override;
};

using MessagesPigeonCodecReaderWriter =
    pigeon::CodecReaderWriter<MessagesPigeonCodecReader, MessagesPigeonCodecWriter>;

class MessagesPigeonCodec : public StandardMessageCodec {
 public:
  using StandardMessageCodec::StandardMessageCodec;
  // The one codec of this copy, made on first use. Any thread.
  static std::shared_ptr<const MessagesPigeonCodec> sharedInstance();
};

// The operations the plugin implements. Either may throw: a
// pigeon::PigeonError or a ChannelError crosses as is, anything else as the
// generic error reply.
class UrlLauncherApi {
 public:
  virtual ~UrlLauncherApi() = default;
  virtual UrlLauncherBoolResult canLaunchUrl(const std::string& url) = 0;
  virtual UrlLauncherBoolResult launchUrl(const std::string& url) = 0;
};

inline constexpr char kUrlLauncherPackage[] = "url_launcher_macos";
inline constexpr char kUrlLauncherApiName[] = "UrlLauncherApi";
inline constexpr char kCanLaunchUrl[] = "canLaunchUrl";
inline constexpr char kLaunchUrl[] = "launchUrl";

// Creates the channels "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.
// canLaunchUrl" and "...launchUrl" (plus ".<suffix>" when not empty) and
// installs `api` as their handler; a null `api` removes the handlers. The
// messenger keeps `api` alive as long as the handlers are installed.
void UrlLauncherApiSetup(BinaryMessenger& messenger, std::shared_ptr<UrlLauncherApi> api,
                         const std::string& suffix = "");

}  // namespace vellumark::url_launcher
