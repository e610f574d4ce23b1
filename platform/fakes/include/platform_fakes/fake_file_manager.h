// File-system facts and bookmarks of a test: folders, directories and files
// the test declares, no real file touched.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bookmarks.h"
#include "platform/file_manager.h"

namespace vellumark::platform::fakes {

class FakeFileManager : public FileManager {
 public:
  std::string homeDirectory() const override { return home; }
  std::string temporaryDirectory() const override { return temporary; }
  // True for `directories`, nullopt for `unreadable`, false otherwise.
  std::optional<bool> isDirectory(const std::string& path) const override;
  bool createDirectory(const std::string& path, bool withIntermediates) override;
  LocalDateTime now() const override { return clock; }

  std::string home = "/home/user";
  std::string temporary = "/tmp/user";
  std::set<std::string> directories;
  std::set<std::string> unreadable;
  bool failCreate = false;
  LocalDateTime clock{2025, 1, 1, 12, 0, 0, 123};
  std::vector<std::string> created() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> created_;
};

// Bookmarks of files in `existing`: the bytes are "bm:" and the path.
class FakeBookmarks : public Bookmarks {
 public:
  std::optional<std::vector<uint8_t>> bookmarkData(const std::string& path) override;
  std::optional<std::string> resolveBookmarkData(const std::vector<uint8_t>& data) override;
  bool startAccessingSecurityScopedResource(const std::string& path) override;
  void stopAccessingSecurityScopedResource(const std::string& path) override;

  static std::vector<uint8_t> bytesFor(const std::string& path);

  std::set<std::string> existing;
  std::set<std::string> readable;
  // "start /p", "stop /p" in call order.
  std::vector<std::string> accesses;
};

}  // namespace vellumark::platform::fakes
