// Property lists of the user-defaults store, through libplist: reading a
// domain file (XML or binary) into values, and the edits a write makes on the
// parsed tree, so that entries we do not model (dates, UIDs) survive a
// rewrite exactly.
#pragma once

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/user_defaults.h"

namespace vellumark::linux_platform::defaults {

// Deepest nesting of arrays and dictionaries read or written.
inline constexpr size_t kMaxNesting = 256;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// The root dictionary of a property list; null, with `why` set, when the
// bytes are not a property list holding a dictionary.
PlistPtr parseDomain(std::string_view bytes, std::string& why);

// The values of a dictionary node. Entries of kinds the store does not model
// (UIDs) are left out; they stay in the file.
platform::DefaultsDictionary toDictionary(plist_t dict);
// Any node; nullopt for a kind the store does not model.
std::optional<platform::DefaultsValue> toValue(plist_t node, size_t depth = 0);

// Why `value` cannot be stored (a string or key holding NUL, nesting deeper
// than kMaxNesting), or empty when it can.
std::string unstorableReason(const platform::DefaultsValue& value);
// The node of a storable value.
PlistPtr toNode(const platform::DefaultsValue& value);

// The binary property list of `root`; empty when libplist cannot write it.
std::string serialize(plist_t root);
// The binary property list of `root` when it reads back as a dictionary;
// empty otherwise (libplist writes some damaged trees, an ASCII key with
// bytes above 127 say, that it cannot read again).
std::string serializeChecked(plist_t root);

}  // namespace vellumark::linux_platform::defaults
