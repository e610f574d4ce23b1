// Fetching the feed and the update archive with libcurl (https, http and
// file URLs). Blocking: worker threads only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vellumark::linux_platform::update {

struct FetchLimits {
  std::chrono::milliseconds connectTimeout{15000};
  // A transfer that moves nothing for this long is given up.
  std::chrono::milliseconds stallTimeout{30000};
  // The feed as a whole (archives have no overall limit, only the stall one).
  std::chrono::milliseconds feedTimeout{60000};
  uint64_t maxFeedBytes = 8 * 1024 * 1024;
};

struct FetchResult {
  bool ok = false;
  std::string body;   // fetchText only
  std::string error;  // readable, names the URL
};

// Called with bytes received and the total (0 when unknown); returns false
// to cancel.
using FetchProgress = std::function<bool(uint64_t received, uint64_t total)>;

// The resource at `url` as text. `cancelled` stops it early.
FetchResult fetchText(const std::string& url, const FetchLimits& limits,
                      const std::atomic<bool>& cancelled);

// Writes the resource at `url` to `path` (created, mode 0600).
FetchResult fetchToFile(const std::string& url, const std::string& path, const FetchLimits& limits,
                        const FetchProgress& progress);

}  // namespace vellumark::linux_platform::update
