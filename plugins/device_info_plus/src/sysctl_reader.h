// Typed reads of the kernel's controls, failing with the error kinds the
// device map absorbs into its fallbacks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/sysctl.h"

namespace vellumark::device_info {

struct SysctlError {
  enum class Kind {
    posixError,     // `code` is the POSIX error number
    unknown,        // the failure carried no POSIX error number
    malformedUTF8,  // the text is not valid UTF-8
    invalidSize,    // the answer's length is not the value's size
  };
  Kind kind;
  int code = 0;
};

// Every read throws SysctlError on failure. A null service fails every read.
class SysctlReader {
 public:
  explicit SysctlReader(const platform::Sysctl* sysctl) : sysctl_(sysctl) {}

  // The raw answer: its length is what the size query reported.
  std::vector<uint8_t> data(std::span<const int> path) const;
  // The answer up to its first zero byte.
  std::string text(std::span<const int> path) const;
  // A value of exactly sizeof(T) bytes, in the machine's byte order.
  int32_t int32(std::span<const int> path) const;
  int64_t int64(std::span<const int> path) const;
  uint64_t uint64(std::span<const int> path) const;
  // The numeric path of a dotted name.
  std::vector<int> path(const std::string& name) const;

 private:
  template <typename T>
  T fixed(std::span<const int> path) const;

  const platform::Sysctl* sysctl_;
};

}  // namespace vellumark::device_info
