#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {

namespace {

// "VMBK", a version byte, device and inode (64-bit little-endian), then the
// path's length (32-bit little-endian) and its bytes.
constexpr std::string_view kMagic = "VMBK";
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 4 + 1 + 8 + 8 + 4;
// PATH_MAX is 4096; a longer path is no path we made a record of.
constexpr uint32_t kMaxPathLength = 4096;

void putLittleEndian(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t getLittleEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

class RecordBookmarks : public platform::Bookmarks {
 public:
  std::optional<std::vector<uint8_t>> bookmarkData(const std::string& path) override {
    if (path.empty() || path.front() != '/' || path.size() > kMaxPathLength) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return encodeBookmark(
        {path, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
  }

  // A file replaced since (another inode) still resolves: staleness is not
  // reported.
  std::optional<std::string> resolveBookmarkData(const std::vector<uint8_t>& data) override {
    auto record = decodeBookmark(data);
    if (!record) return std::nullopt;
    struct stat st {};
    if (::stat(record->path.c_str(), &st) != 0) return std::nullopt;
    return record->path;
  }

  bool startAccessingSecurityScopedResource(const std::string& path) override {
    // Non-blocking, so a FIFO does not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  void stopAccessingSecurityScopedResource(const std::string& /*path*/) override {}
};

}  // namespace

std::vector<uint8_t> encodeBookmark(const BookmarkRecord& record) {
  std::vector<uint8_t> out(kMagic.begin(), kMagic.end());
  out.reserve(kHeaderSize + record.path.size());
  out.push_back(kVersion);
  putLittleEndian(out, record.device, 8);
  putLittleEndian(out, record.inode, 8);
  putLittleEndian(out, record.path.size(), 4);
  out.insert(out.end(), record.path.begin(), record.path.end());
  return out;
}

std::optional<BookmarkRecord> decodeBookmark(const std::vector<uint8_t>& data) {
  if (data.size() < kHeaderSize) return std::nullopt;
  if (std::memcmp(data.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
  if (data[4] != kVersion) return std::nullopt;
  const uint8_t* p = data.data() + 5;
  BookmarkRecord record;
  record.device = getLittleEndian(p, 8);
  record.inode = getLittleEndian(p + 8, 8);
  const uint64_t length = getLittleEndian(p + 16, 4);
  if (length == 0 || length > kMaxPathLength || data.size() != kHeaderSize + length) {
    return std::nullopt;
  }
  record.path.assign(reinterpret_cast<const char*>(data.data() + kHeaderSize), length);
  // Absolute, and no NUL that would cut the path short at the system call.
  if (record.path.front() != '/' || record.path.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return record;
}

std::shared_ptr<platform::Bookmarks> createBookmarks() {
  return std::make_shared<RecordBookmarks>();
}

}  // namespace vellumark::linux_platform
