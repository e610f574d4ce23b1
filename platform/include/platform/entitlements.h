// The entitlements the running process was granted. Main-thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace vellumark::platform {

// A process's security task: what it is entitled to, as read when the task
// was made.
class SecTask {
 public:
  virtual ~SecTask() = default;
  // The entitlement's value, or nullopt when the process does not hold it.
  virtual std::optional<InfoValue> copyValueForEntitlement(
      const std::string& entitlement) const = 0;
};

class Entitlements {
 public:
  virtual ~Entitlements() = default;
  // The running process's task, read afresh on each call; null when it
  // cannot be had.
  virtual std::unique_ptr<SecTask> createTaskFromSelf() = 0;
};

}  // namespace vellumark::platform
