// Queues for deferred work, as the platform services and the plugins see
// them: the main queue (the thread that runs the main loop, where every
// channel message and window event is handled) and worker queues.
#pragma once

#include <chrono>
#include <functional>

namespace vellumark::platform {

using Task = std::function<void()>;

// A queue whose tasks run one at a time on one thread, in the order they
// were posted (a delayed task once its time has come). post() and
// postAfter() may be called from any thread; a task never runs inside the
// post() that queued it.
class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
  virtual void post(Task task) = 0;
  virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;
};

}  // namespace vellumark::platform
