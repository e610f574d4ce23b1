// Bookmarks: records that let the application find a file the user gave it
// again later, and open access to it. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellumark::platform {

class Bookmarks {
 public:
  virtual ~Bookmarks() = default;
  // A security-scoped bookmark of the file at `path`; nullopt when none can
  // be made (no such file, say).
  virtual std::optional<std::vector<uint8_t>> bookmarkData(const std::string& path) = 0;
  // The path `data` leads to, or nullopt when it does not resolve. Whether
  // the bookmark is stale is not reported.
  virtual std::optional<std::string> resolveBookmarkData(const std::vector<uint8_t>& data) = 0;
  // Whether access to the file could be started.
  virtual bool startAccessingSecurityScopedResource(const std::string& path) = 0;
  virtual void stopAccessingSecurityScopedResource(const std::string& path) = 0;
};

}  // namespace vellumark::platform
