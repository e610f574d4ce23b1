// The user-defaults store's property-list reader on arbitrary file contents:
// parsing, turning the tree into values, and writing it back must not crash,
// and a rewrite the store would accept must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "defaults_plist.h"

namespace defaults = vellumark::linux_platform::defaults;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string why;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  defaults::PlistPtr root = defaults::parseDomain(bytes, why);
  if (!root) return 0;
  (void)defaults::toDictionary(root.get());
  // What was read survives a rewrite: the store edits this tree in place,
  // and refuses a rewrite that would not read back.
  const std::string written = defaults::serializeChecked(root.get());
  if (written.empty()) return 0;
  defaults::PlistPtr again = defaults::parseDomain(written, why);
  if (!again) std::abort();
  // Keys that are not valid UTF-8 may merge when written as UTF-16, so the
  // count of entries is not compared.
  (void)defaults::toDictionary(again.get());
  return 0;
}
