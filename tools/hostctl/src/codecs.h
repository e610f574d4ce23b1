// Message codecs hostctl can speak on basic-message channels, by name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "embedding/codec.h"

namespace vellumark::hostctl {

// "standard" is always there. A later registration under a name replaces it.
void registerMessageCodec(const std::string& name, std::shared_ptr<const MessageCodec> codec);
// Null when no codec has that name.
std::shared_ptr<const MessageCodec> findMessageCodec(const std::string& name);
std::vector<std::string> messageCodecNames();

}  // namespace vellumark::hostctl
