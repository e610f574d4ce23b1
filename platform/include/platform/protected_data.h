// Whether the system's protected data is available: on Linux, whether the
// keychain's default collection is unlocked.
#pragma once

#include <functional>

namespace vellumark::platform {

class ProtectedData {
 public:
  // Called once per real change: true when protected data became available,
  // false when it is about to become unavailable. From any thread (the
  // Linux backend calls it on the main loop).
  using Listener = std::function<void(bool available)>;

  virtual ~ProtectedData() = default;
  // May block on the system: worker thread.
  virtual bool isProtectedDataAvailable() = 0;
  // Starts reporting changes to `listener` (replacing an earlier one); the
  // current state is not reported. May block on the system: worker thread.
  virtual void watch(Listener listener) = 0;
};

}  // namespace vellumark::platform
