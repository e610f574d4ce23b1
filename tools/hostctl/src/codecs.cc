#include "codecs.h"

#include <map>

#include "messages.h"  // the URL launcher's codec copy
#include "shared_preferences_foundation/messages.h"

namespace vellumark::hostctl {
namespace {

// Typed JSON has no form for extension records; these codecs write one as
// the map {"$ext": [TYPE, PAYLOAD]} (in typed JSON {"$map": [["$ext", [129,
// [null]]]]}), which reads back as the record.
constexpr char kExtensionKey[] = "$ext";

class ExtensionJsonCodec : public MessageCodec {
 public:
  explicit ExtensionJsonCodec(std::shared_ptr<const StandardMessageCodec> inner)
      : inner_(std::move(inner)) {}

  Bytes encodeMessage(const ChannelValue& message) const override {
    return inner_->encodeMessage(toRecords(message));
  }
  ChannelValue decodeMessage(std::span<const uint8_t> message) const override {
    return fromRecords(inner_->decodeMessage(message));
  }

 private:
  ChannelValue toRecords(const ChannelValue& v) const {
    if (const auto* list = v.asList()) {
      ChannelList out;
      for (const auto& element : *list) out.push_back(toRecords(element));
      return out;
    }
    const auto* map = v.asMap();
    if (map == nullptr) return v;
    if (map->size() == 1) {
      const auto* ext = map->find(kExtensionKey);
      const auto* parts = ext ? ext->asList() : nullptr;
      if (parts != nullptr && parts->size() == 2 && parts->at(0).asInteger()) {
        const int64_t type = *parts->at(0).asInteger();
        if (type < 128 || type > 255) throw CodecError("$ext wants a type byte of 128..255");
        Bytes bytes{static_cast<uint8_t>(type)};
        inner_->readerWriter().writerWithData(bytes)->writeValue(toRecords(parts->at(1)));
        return inner_->decodeMessage(bytes);
      }
    }
    ChannelMap out;
    for (const auto& [key, value] : *map) out.append(toRecords(key), toRecords(value));
    return out;
  }

  ChannelValue fromRecords(const ChannelValue& v) const {
    if (const auto* list = v.asList()) {
      ChannelList out;
      for (const auto& element : *list) out.push_back(fromRecords(element));
      return out;
    }
    if (const auto* map = v.asMap()) {
      ChannelMap out;
      for (const auto& [key, value] : *map) out.append(fromRecords(key), fromRecords(value));
      return out;
    }
    if (!v.is<ChannelValue::Custom>()) return v;
    Bytes bytes;
    try {
      inner_->readerWriter().writerWithData(bytes)->writeValue(v);
    } catch (const CodecError&) {
      return v;  // a malformed record: printed by its description
    }
    auto reader = inner_->readerWriter().readerWithData(bytes);
    const int32_t type = reader->readByte();
    const ChannelValue payload = reader->readValue();
    return ChannelMap{{kExtensionKey, ChannelList{type, fromRecords(payload)}}};
  }

  std::shared_ptr<const StandardMessageCodec> inner_;
};

std::map<std::string, std::shared_ptr<const MessageCodec>>& registry() {
  static std::map<std::string, std::shared_ptr<const MessageCodec>> codecs = {
      {"standard", StandardMessageCodec::sharedInstance()},
      {"preferences", std::make_shared<ExtensionJsonCodec>(
                          shared_preferences::MessagesPigeonCodec::sharedInstance())},
      {"url_launcher",
       std::make_shared<ExtensionJsonCodec>(url_launcher::MessagesPigeonCodec::sharedInstance())},
  };
  return codecs;
}

}  // namespace

void registerMessageCodec(const std::string& name, std::shared_ptr<const MessageCodec> codec) {
  registry()[name] = std::move(codec);
}

std::shared_ptr<const MessageCodec> findMessageCodec(const std::string& name) {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

std::vector<std::string> messageCodecNames() {
  std::vector<std::string> names;
  for (const auto& entry : registry()) names.push_back(entry.first);
  return names;
}

}  // namespace vellumark::hostctl
