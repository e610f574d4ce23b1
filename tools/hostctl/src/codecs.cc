#include "codecs.h"

#include <map>

namespace vellumark::hostctl {
namespace {

std::map<std::string, std::shared_ptr<const MessageCodec>>& registry() {
  static std::map<std::string, std::shared_ptr<const MessageCodec>> codecs = {
      {"standard", StandardMessageCodec::sharedInstance()},
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
