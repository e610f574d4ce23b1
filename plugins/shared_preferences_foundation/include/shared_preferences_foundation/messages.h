// The preferences plugin's message codec and interface wiring: the standard
// codec extended with SharedPreferencesPigeonOptions, and the set-up of one
// basic-message channel per operation of UserDefaultsApi and
// LegacyUserDefaultsApi. Main-thread only, except
// MessagesPigeonCodec::sharedInstance(), which any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "embedding/codec.h"
#include "embedding/messenger.h"
#include "embedding/pigeon.h"

namespace vellumark::shared_preferences {

// The options of every UserDefaultsApi operation (type byte 129): [suiteName].
class SharedPreferencesPigeonOptions : public pigeon::PigeonRecord {
 public:
  static constexpr std::string_view kTypeName = "SharedPreferencesPigeonOptions";
  explicit SharedPreferencesPigeonOptions(std::optional<std::string> suiteName = std::nullopt)
      : suiteName_(std::move(suiteName)) {}
  static ChannelValue make(std::optional<std::string> suiteName = std::nullopt) {
    return ChannelValue(
        std::make_shared<const SharedPreferencesPigeonOptions>(std::move(suiteName)));
  }
  // From the list form; nullopt, with `why` set, when the list has the
  // wrong shape.
  static std::optional<SharedPreferencesPigeonOptions> fromList(const ChannelList& list,
                                                                std::string& why);

  const std::optional<std::string>& suiteName() const { return suiteName_; }
  ChannelList toList() const override;
  std::string_view typeName() const override { return kTypeName; }
  std::string describe() const override;

 private:
  std::optional<std::string> suiteName_;
};

inline constexpr uint8_t kSharedPreferencesPigeonOptionsType = 129;

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

using StringList = std::vector<std::string>;

// The current interface. Operations may throw: a pigeon::PigeonError or a
// ChannelError crosses as is, anything else as the generic error reply.
class UserDefaultsApi {
 public:
  virtual ~UserDefaultsApi() = default;
  virtual void set(const std::string& key, const ChannelValue& value,
                   const SharedPreferencesPigeonOptions& options) = 0;
  virtual void clear(const std::optional<StringList>& allowList,
                     const SharedPreferencesPigeonOptions& options) = 0;
  virtual ChannelMap getAll(const std::optional<StringList>& allowList,
                            const SharedPreferencesPigeonOptions& options) = 0;
  // Null when there is no compatible value.
  virtual ChannelValue getValue(const std::string& key,
                                const SharedPreferencesPigeonOptions& options) = 0;
  virtual StringList getKeys(const std::optional<StringList>& allowList,
                             const SharedPreferencesPigeonOptions& options) = 0;
};

// The older interface, always on the application's own store.
class LegacyUserDefaultsApi {
 public:
  virtual ~LegacyUserDefaultsApi() = default;
  virtual void remove(const std::string& key) = 0;
  virtual void setBool(const std::string& key, bool value) = 0;
  virtual void setDouble(const std::string& key, double value) = 0;
  virtual void setValue(const std::string& key, const ChannelValue& value) = 0;
  virtual ChannelMap getAll(const std::string& prefix,
                            const std::optional<StringList>& allowList) = 0;
  virtual bool clear(const std::string& prefix, const std::optional<StringList>& allowList) = 0;
};

inline constexpr char kPreferencesPackage[] = "shared_preferences_foundation";
inline constexpr char kUserDefaultsApiName[] = "UserDefaultsApi";
inline constexpr char kLegacyUserDefaultsApiName[] = "LegacyUserDefaultsApi";

// Creates the channels "dev.flutter.pigeon.shared_preferences_foundation.
// UserDefaultsApi.<operation>" (plus ".<suffix>" when not empty), in the
// order set, clear, getAll, getValue, getKeys, and installs `api` as their
// handler; a null `api` removes the handlers.
void UserDefaultsApiSetup(BinaryMessenger& messenger, std::shared_ptr<UserDefaultsApi> api,
                          const std::string& suffix = "");
// Likewise for LegacyUserDefaultsApi: remove, setBool, setDouble, setValue,
// getAll, clear.
void LegacyUserDefaultsApiSetup(BinaryMessenger& messenger,
                                std::shared_ptr<LegacyUserDefaultsApi> api,
                                const std::string& suffix = "");

}  // namespace vellumark::shared_preferences
