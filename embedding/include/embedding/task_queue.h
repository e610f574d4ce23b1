// Queues for deferred work: a test's manual main queue and serial worker
// queues. The interface is the platform API's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/task_queue.h"

namespace vellumark {

using platform::Task;
using platform::TaskQueue;

// A test's main queue: runs nothing until the test drains it, with virtual
// time for delayed tasks. Thread-safe to post to.
class ManualQueue : public TaskQueue {
 public:
  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;

  // Runs every task due now, including ones they post; returns how many ran.
  size_t runUntilIdle();
  // Moves virtual time forward, running each task when its time comes.
  size_t advance(std::chrono::milliseconds by);
  std::chrono::milliseconds now() const;
  size_t pending() const;

 private:
  struct Entry {
    std::chrono::milliseconds due;
    uint64_t seq;
    Task task;
  };
  bool popDue(Task& out);
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::chrono::milliseconds now_{0};
  uint64_t seq_ = 0;
};

// A labelled worker thread running tasks in FIFO order. The thread starts
// with the first task, so a queue that is never used costs no thread. The
// destructor runs what is queued, then joins.
class SerialQueue : public TaskQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;
  const std::string& label() const { return label_; }

 private:
  void run();
  std::string label_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, Task>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vellumark
