#include "sysctl_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "embedding/bridge_protocol.h"

namespace vellumark::device_info {
namespace {

SysctlError failure(int code) {
  // A backend that failed without an error number leaves nothing to report.
  if (code > 0) return {SysctlError::Kind::posixError, code};
  return {SysctlError::Kind::unknown, code};
}

}  // namespace

std::vector<uint8_t> SysctlReader::data(std::span<const int> path) const {
  if (sysctl_ == nullptr) throw failure(ENOSYS);
  size_t size = 0;
  if (int err = sysctl_->read(path.data(), path.size(), nullptr, &size); err != 0) {
    throw failure(err);
  }
  std::vector<uint8_t> buffer(size, 0);
  size_t filled = size;
  // A zero-length answer still gets a buffer to point at.
  uint8_t empty = 0;
  if (int err = sysctl_->read(path.data(), path.size(), size ? buffer.data() : &empty, &filled);
      err != 0) {
    throw failure(err);
  }
  return buffer;
}

std::string SysctlReader::text(std::span<const int> path) const {
  const std::vector<uint8_t> raw = data(path);
  size_t end = 0;
  while (end < raw.size() && raw[end] != 0) ++end;
  std::string text(reinterpret_cast<const char*>(raw.data()), end);
  if (!bridge::isValidUtf8(text)) throw SysctlError{SysctlError::Kind::malformedUTF8};
  return text;
}

template <typename T>
T SysctlReader::fixed(std::span<const int> path) const {
  const std::vector<uint8_t> raw = data(path);
  if (raw.size() != sizeof(T)) throw SysctlError{SysctlError::Kind::invalidSize};
  T value{};
  std::memcpy(&value, raw.data(), sizeof(T));
  return value;
}

int32_t SysctlReader::int32(std::span<const int> path) const { return fixed<int32_t>(path); }
int64_t SysctlReader::int64(std::span<const int> path) const { return fixed<int64_t>(path); }
uint64_t SysctlReader::uint64(std::span<const int> path) const { return fixed<uint64_t>(path); }

std::vector<int> SysctlReader::path(const std::string& name) const {
  if (sysctl_ == nullptr) throw failure(ENOSYS);
  std::vector<int> numbers(platform::sysctl::kMaxPathLength, 0);
  size_t length = numbers.size();
  if (int err = sysctl_->nameToPath(name, numbers.data(), &length); err != 0) throw failure(err);
  // Never trust a backend to stay inside the buffer it was given.
  numbers.resize(std::min(length, numbers.size()));
  return numbers;
}

}  // namespace vellumark::device_info
