#include "messages.h"

#include <utility>

namespace vellumark::url_launcher {
namespace {

constexpr char kNull[] = "null";
constexpr char kInvalidUrlName[] = "invalidUrl";

const char* errorName(std::optional<UrlLauncherError> error) {
  return error ? kInvalidUrlName : kNull;
}

// The optional UrlLauncherError of a decoded value: a box or null. False
// for anything else.
bool readOptionalError(const ChannelValue& value, std::optional<UrlLauncherError>& error) {
  if (value.isNull()) {
    error.reset();
    return true;
  }
  const auto* custom = value.getIf<ChannelValue::Custom>();
  const auto* box = custom ? dynamic_cast<const UrlLauncherErrorBox*>(custom->get()) : nullptr;
  if (box == nullptr) return false;
  error = box->value();
  return true;
}

}  // namespace

bool UrlLauncherErrorBox::equals(const CustomRecord& other) const {
  const auto* box = dynamic_cast<const UrlLauncherErrorBox*>(&other);
  return box != nullptr && box->value_ == value_;
}

std::string UrlLauncherErrorBox::describe() const {
  return std::string(kTypeName) + "." + kInvalidUrlName;
}

std::optional<UrlLauncherBoolResult> UrlLauncherBoolResult::fromList(const ChannelList& list,
                                                                     std::string& why) {
  const auto* value = list.empty() ? nullptr : list[0].getIf<bool>();
  if (value == nullptr) {
    why = "UrlLauncherBoolResult: element 0 (value) must be a bool";
    return std::nullopt;
  }
  std::optional<UrlLauncherError> error;
  if (list.size() > 1 && !readOptionalError(list[1], error)) {
    why = "UrlLauncherBoolResult: element 1 (error) must be a UrlLauncherError or null";
    return std::nullopt;
  }
  return UrlLauncherBoolResult(*value, error);
}

ChannelList UrlLauncherBoolResult::toList() const {
  return {ChannelValue(value_), error_ ? UrlLauncherErrorBox::make(*error_) : ChannelValue()};
}

std::string UrlLauncherBoolResult::describe() const {
  return std::string(kTypeName) + "(value: " + (value_ ? "true" : "false") +
         ", error: " + errorName(error_) + ")";
}

ChannelValue MessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  switch (type) {
    case kUrlLauncherErrorType: {
      const ChannelValue raw = readValue();
      if (raw.isNull()) return {};
      const auto rawValue = raw.asInteger();
      if (!rawValue)
        return pigeon::MalformedRecord::make(type, "UrlLauncherError must be an integer");
      // Only invalidUrl is known; any other raw value reads as none.
      if (*rawValue != static_cast<int64_t>(UrlLauncherError::invalidUrl)) return {};
      return UrlLauncherErrorBox::make(UrlLauncherError::invalidUrl);
    }
    case kUrlLauncherBoolResultType: {
      const ChannelValue raw = readValue();
      const auto* list = raw.asList();
      if (list == nullptr) {
        return pigeon::MalformedRecord::make(type, "UrlLauncherBoolResult must be a list");
      }
      std::string why;
      auto result = UrlLauncherBoolResult::fromList(*list, why);
      if (!result) return pigeon::MalformedRecord::make(type, why);
      return ChannelValue(std::make_shared<const UrlLauncherBoolResult>(*result));
    }
    default:
      return StandardReader::readValueOfType(type);
  }
}

void MessagesPigeonCodecWriter::writeValue(const ChannelValue& value) {
  if (const auto* custom = value.getIf<ChannelValue::Custom>()) {
    if (const auto* box = dynamic_cast<const UrlLauncherErrorBox*>(custom->get())) {
      writeByte(kUrlLauncherErrorType);
      writeValue(ChannelValue(box->rawValue()));
      return;
    }
    if (const auto* result = dynamic_cast<const UrlLauncherBoolResult*>(custom->get())) {
      writeByte(kUrlLauncherBoolResultType);
      writeValue(ChannelValue(result->toList()));
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

void UrlLauncherApiSetup(BinaryMessenger& messenger, std::shared_ptr<UrlLauncherApi> api,
                         const std::string& suffix) {
  const auto codec = MessagesPigeonCodec::sharedInstance();
  auto name = [&](const char* operation) {
    return pigeon::channelName(kUrlLauncherPackage, kUrlLauncherApiName, operation, suffix);
  };
  pigeon::OperationHandler canLaunch;
  pigeon::OperationHandler launch;
  if (api) {
    canLaunch = [api](const pigeon::RequestEnvelope& request) {
      const std::string& url = request.stringArg(0, "url");
      return ChannelValue(std::make_shared<const UrlLauncherBoolResult>(api->canLaunchUrl(url)));
    };
    launch = [api](const pigeon::RequestEnvelope& request) {
      const std::string& url = request.stringArg(0, "url");
      return ChannelValue(std::make_shared<const UrlLauncherBoolResult>(api->launchUrl(url)));
    };
  }
  pigeon::setUpOperation(messenger, name(kCanLaunchUrl), codec, 1, std::move(canLaunch));
  pigeon::setUpOperation(messenger, name(kLaunchUrl), codec, 1, std::move(launch));
}

}  // namespace vellumark::url_launcher
