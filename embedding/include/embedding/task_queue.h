// Queues for deferred work: the main queue and serial worker queues.
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

namespace vellumark {

using Task = std::function<void()>;

// A queue whose tasks run one at a time on one thread. post() and postAfter()
// may be called from any thread.
class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
  virtual void post(Task task) = 0;
  virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;
};

// The main queue as seen by plugins and the app: set once at start-up (the
// GLib main context in the app, a ManualQueue in tests).
TaskQueue& mainQueue();
void setMainQueue(std::shared_ptr<TaskQueue> queue);

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

// A labelled worker thread running tasks in FIFO order. The destructor runs
// what is queued, then joins.
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
