// Version strings of the update feed and the bundle, compared the way people
// read them: runs of digits as numbers, runs of letters as text, separators
// between them, so 1.10 is newer than 1.9 and 2.0b1 older than 2.0.
#pragma once

#include <string_view>

namespace vellumark::linux_platform::update {

// Negative when `a` is older than `b`, zero when equal, positive when newer.
// Any thread.
int compareVersions(std::string_view a, std::string_view b);

}  // namespace vellumark::linux_platform::update
