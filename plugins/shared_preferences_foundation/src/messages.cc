#include "shared_preferences_foundation/messages.h"

#include <utility>

namespace vellumark::shared_preferences {
namespace {

constexpr char kSet[] = "set";
constexpr char kClear[] = "clear";
constexpr char kGetAll[] = "getAll";
constexpr char kGetValue[] = "getValue";
constexpr char kGetKeys[] = "getKeys";
constexpr char kRemove[] = "remove";
constexpr char kSetBool[] = "setBool";
constexpr char kSetDouble[] = "setDouble";
constexpr char kSetValue[] = "setValue";

constexpr char kArgKey[] = "key";
constexpr char kArgValue[] = "value";
constexpr char kArgOptions[] = "options";
constexpr char kArgAllowList[] = "allowList";
constexpr char kArgPrefix[] = "prefix";

ChannelValue stringList(const StringList& strings) {
  ChannelList list;
  list.reserve(strings.size());
  for (const auto& s : strings) list.emplace_back(s);
  return list;
}

}  // namespace

std::optional<SharedPreferencesPigeonOptions> SharedPreferencesPigeonOptions::fromList(
    const ChannelList& list, std::string& why) {
  // The null rule: an absent element reads as null.
  if (list.empty() || list[0].isNull()) return SharedPreferencesPigeonOptions();
  const auto* suite = list[0].asString();
  if (suite == nullptr) {
    why = "SharedPreferencesPigeonOptions: element 0 (suiteName) must be a string or null";
    return std::nullopt;
  }
  return SharedPreferencesPigeonOptions(*suite);
}

ChannelList SharedPreferencesPigeonOptions::toList() const {
  return {suiteName_ ? ChannelValue(*suiteName_) : ChannelValue()};
}

std::string SharedPreferencesPigeonOptions::describe() const {
  return std::string(kTypeName) +
         "(suiteName: " + (suiteName_ ? "\"" + *suiteName_ + "\"" : "null") + ")";
}

ChannelValue MessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  if (type != kSharedPreferencesPigeonOptionsType) return StandardReader::readValueOfType(type);
  const ChannelValue raw = readValue();
  const auto* list = raw.asList();
  if (list == nullptr) {
    return pigeon::MalformedRecord::make(type, "SharedPreferencesPigeonOptions must be a list");
  }
  std::string why;
  auto options = SharedPreferencesPigeonOptions::fromList(*list, why);
  if (!options) return pigeon::MalformedRecord::make(type, why);
  return ChannelValue(std::make_shared<const SharedPreferencesPigeonOptions>(std::move(*options)));
}

void MessagesPigeonCodecWriter::writeValue(const ChannelValue& value) {
  if (const auto* custom = value.getIf<ChannelValue::Custom>()) {
    if (const auto* options = dynamic_cast<const SharedPreferencesPigeonOptions*>(custom->get())) {
      writeByte(kSharedPreferencesPigeonOptionsType);
      writeValue(ChannelValue(options->toList()));
      return;
    }
  }
  StandardWriter::writeValue(value);
}

std::shared_ptr<const MessagesPigeonCodec> MessagesPigeonCodec::sharedInstance() {
  // A function-local static: its one-time creation is safe when setups race.
  static const auto codec = std::make_shared<const MessagesPigeonCodec>(
      std::make_shared<const MessagesPigeonCodecReaderWriter>());
  return codec;
}

void UserDefaultsApiSetup(BinaryMessenger& messenger, std::shared_ptr<UserDefaultsApi> api,
                          const std::string& suffix) {
  using Options = SharedPreferencesPigeonOptions;
  using pigeon::RequestEnvelope;
  const auto codec = MessagesPigeonCodec::sharedInstance();
  auto setUp = [&](const char* operation, size_t arity, pigeon::OperationHandler handler) {
    pigeon::setUpOperation(
        messenger,
        pigeon::channelName(kPreferencesPackage, kUserDefaultsApiName, operation, suffix), codec,
        arity, api ? std::move(handler) : nullptr);
  };
  setUp(kSet, 3, [api](const RequestEnvelope& r) {
    api->set(r.stringArg(0, kArgKey), r.valueArg(1, kArgValue),
             *r.recordArg<Options>(2, kArgOptions));
    return ChannelValue();
  });
  setUp(kClear, 2, [api](const RequestEnvelope& r) {
    api->clear(r.optionalStringListArg(0, kArgAllowList), *r.recordArg<Options>(1, kArgOptions));
    return ChannelValue();
  });
  setUp(kGetAll, 2, [api](const RequestEnvelope& r) {
    return ChannelValue(api->getAll(r.optionalStringListArg(0, kArgAllowList),
                                    *r.recordArg<Options>(1, kArgOptions)));
  });
  setUp(kGetValue, 2, [api](const RequestEnvelope& r) {
    return api->getValue(r.stringArg(0, kArgKey), *r.recordArg<Options>(1, kArgOptions));
  });
  setUp(kGetKeys, 2, [api](const RequestEnvelope& r) {
    return stringList(api->getKeys(r.optionalStringListArg(0, kArgAllowList),
                                   *r.recordArg<Options>(1, kArgOptions)));
  });
}

void LegacyUserDefaultsApiSetup(BinaryMessenger& messenger,
                                std::shared_ptr<LegacyUserDefaultsApi> api,
                                const std::string& suffix) {
  using pigeon::RequestEnvelope;
  const auto codec = MessagesPigeonCodec::sharedInstance();
  auto setUp = [&](const char* operation, size_t arity, pigeon::OperationHandler handler) {
    pigeon::setUpOperation(
        messenger,
        pigeon::channelName(kPreferencesPackage, kLegacyUserDefaultsApiName, operation, suffix),
        codec, arity, api ? std::move(handler) : nullptr);
  };
  setUp(kRemove, 1, [api](const RequestEnvelope& r) {
    api->remove(r.stringArg(0, kArgKey));
    return ChannelValue();
  });
  setUp(kSetBool, 2, [api](const RequestEnvelope& r) {
    api->setBool(r.stringArg(0, kArgKey), r.boolArg(1, kArgValue));
    return ChannelValue();
  });
  setUp(kSetDouble, 2, [api](const RequestEnvelope& r) {
    api->setDouble(r.stringArg(0, kArgKey), r.doubleArg(1, kArgValue));
    return ChannelValue();
  });
  setUp(kSetValue, 2, [api](const RequestEnvelope& r) {
    api->setValue(r.stringArg(0, kArgKey), r.valueArg(1, kArgValue));
    return ChannelValue();
  });
  setUp(kGetAll, 2, [api](const RequestEnvelope& r) {
    return ChannelValue(
        api->getAll(r.stringArg(0, kArgPrefix), r.optionalStringListArg(1, kArgAllowList)));
  });
  setUp(kClear, 2, [api](const RequestEnvelope& r) {
    return ChannelValue(
        api->clear(r.stringArg(0, kArgPrefix), r.optionalStringListArg(1, kArgAllowList)));
  });
}

}  // namespace vellumark::shared_preferences
