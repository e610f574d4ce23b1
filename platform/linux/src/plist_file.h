// The top-level dictionary of a property-list file (XML or binary), as the
// bundle's information values: Info.plist and Entitlements.plist.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/bundle.h"

namespace vellumark::linux_platform {

enum class PlistFileRead { kRead, kMissing, kFailed };

// Reads `file` (at most `maxSize` bytes) into `values`. kMissing when the
// file does not exist; kFailed, with `error` saying why, when it cannot be
// read or holds no dictionary; `values` is then empty.
PlistFileRead readPlistDictionary(const std::string& file, std::uintmax_t maxSize,
                                  std::map<std::string, platform::InfoValue>& values,
                                  std::string& error);

}  // namespace vellumark::linux_platform
