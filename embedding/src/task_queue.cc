#include "embedding/task_queue.h"

#include <algorithm>

namespace vellumark {

void ManualQueue::post(Task task) { postAfter(std::chrono::milliseconds(0), std::move(task)); }

void ManualQueue::postAfter(std::chrono::milliseconds delay, Task task) {
  std::lock_guard lock(mutex_);
  entries_.push_back(
      Entry{now_ + std::max(delay, std::chrono::milliseconds(0)), ++seq_, std::move(task)});
}

bool ManualQueue::popDue(Task& out) {
  std::lock_guard lock(mutex_);
  auto best = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->due > now_) continue;
    if (best == entries_.end() || it->due < best->due ||
        (it->due == best->due && it->seq < best->seq)) {
      best = it;
    }
  }
  if (best == entries_.end()) return false;
  out = std::move(best->task);
  entries_.erase(best);
  return true;
}

size_t ManualQueue::runUntilIdle() {
  size_t ran = 0;
  Task task;
  while (popDue(task)) {
    task();
    ++ran;
  }
  return ran;
}

size_t ManualQueue::advance(std::chrono::milliseconds by) {
  size_t ran = runUntilIdle();
  const auto target = now() + by;
  for (;;) {
    std::chrono::milliseconds next = target;
    {
      std::lock_guard lock(mutex_);
      for (const auto& e : entries_) next = std::min(next, e.due);
      now_ = std::max(now_, next);
    }
    ran += runUntilIdle();
    if (now() >= target) break;
  }
  return ran;
}

std::chrono::milliseconds ManualQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

size_t ManualQueue::pending() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

// ---------------------------------------------------------------------------

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::post(Task task) { postAfter(std::chrono::milliseconds(0), std::move(task)); }

void SerialQueue::postAfter(std::chrono::milliseconds delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    auto due = std::chrono::steady_clock::now() + delay;
    // FIFO among tasks due at the same time; a delayed task goes after those
    // due before it.
    auto it = std::upper_bound(tasks_.begin(), tasks_.end(), due,
                               [](auto t, const auto& entry) { return t < entry.first; });
    tasks_.insert(it, {due, std::move(task)});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  cv_.notify_all();
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (tasks_.empty()) {
      if (stopping_) return;
      cv_.wait(lock);
      continue;
    }
    auto due = tasks_.front().first;
    if (!stopping_ && due > std::chrono::steady_clock::now()) {
      cv_.wait_until(lock, due);
      continue;
    }
    Task task = std::move(tasks_.front().second);
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace vellumark
