// The main queue on the default GLib main context.
#pragma once

#include "embedding/task_queue.h"

namespace vellumark {

// Runs tasks on the thread that iterates the default main context, one per
// dispatch, in the order they were posted. post() and postAfter() may be
// called from any thread; a task posted from the main thread never runs
// inside post() itself. A task that throws is logged and dropped.
class GlibMainQueue : public TaskQueue {
 public:
  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;
};

}  // namespace vellumark
