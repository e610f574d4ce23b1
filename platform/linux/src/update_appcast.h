// The update feed: an RSS 2.0 appcast with the sparkle namespace, and the
// choice of the update to offer. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/updater.h"

namespace vellumark::linux_platform::update {

inline constexpr char kSparkleNamespace[] = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// The items of the feed, in document order; nullopt with `error` set when
// the document is not an RSS feed. Items without a version are skipped.
std::optional<std::vector<platform::AppcastItem>> parseAppcast(std::string_view xml,
                                                               std::string* error);

// The newest item newer than `currentVersion` whose minimum system version
// `systemVersion` meets, or nullopt.
std::optional<platform::AppcastItem> bestUpdate(const std::vector<platform::AppcastItem>& items,
                                                std::string_view currentVersion,
                                                std::string_view systemVersion);

}  // namespace vellumark::linux_platform::update
