#include "platform_fakes/fake_file_manager.h"

#include <string_view>

namespace vellumark::platform::fakes {

namespace {
constexpr std::string_view kBookmarkPrefix = "bm:";
}  // namespace

std::optional<bool> FakeFileManager::isDirectory(const std::string& path) const {
  if (unreadable.count(path) != 0) return std::nullopt;
  return directories.count(path) != 0;
}

bool FakeFileManager::createDirectory(const std::string& path, bool /*withIntermediates*/) {
  std::lock_guard lock(mutex_);
  created_.push_back(path);
  return !failCreate;
}

std::vector<std::string> FakeFileManager::created() const {
  std::lock_guard lock(mutex_);
  return created_;
}

std::vector<uint8_t> FakeBookmarks::bytesFor(const std::string& path) {
  std::string text = std::string(kBookmarkPrefix) + path;
  return {text.begin(), text.end()};
}

std::optional<std::vector<uint8_t>> FakeBookmarks::bookmarkData(const std::string& path) {
  if (existing.count(path) == 0) return std::nullopt;
  return bytesFor(path);
}

std::optional<std::string> FakeBookmarks::resolveBookmarkData(const std::vector<uint8_t>& data) {
  const std::string text(data.begin(), data.end());
  if (text.rfind(kBookmarkPrefix, 0) != 0) return std::nullopt;
  std::string path = text.substr(kBookmarkPrefix.size());
  if (existing.count(path) == 0) return std::nullopt;
  return path;
}

bool FakeBookmarks::startAccessingSecurityScopedResource(const std::string& path) {
  accesses.push_back("start " + path);
  return readable.count(path) != 0;
}

void FakeBookmarks::stopAccessingSecurityScopedResource(const std::string& path) {
  accesses.push_back("stop " + path);
}

}  // namespace vellumark::platform::fakes
