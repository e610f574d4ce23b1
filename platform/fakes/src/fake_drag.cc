#include "platform_fakes/fake_drag.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace vellumark::platform::fakes {

bool FakeDragView::registerForDraggedTypes(const std::vector<std::string>& types,
                                           std::shared_ptr<DraggingDestination> dest) {
  if (!inWindow) return false;
  registeredTypes = types;
  destination = std::move(dest);
  return true;
}

std::vector<std::string> FakePromiseReceiver::fileNames() const {
  std::vector<std::string> names;
  for (const auto& file : files_) names.push_back(file.name);
  return names;
}

void FakePromiseReceiver::receivePromisedFiles(const std::string& dest,
                                               std::shared_ptr<TaskQueue> workQueue,
                                               Reader reader) {
  destination = dest;
  queue = std::move(workQueue);
  std::vector<PromisedFile> deliveries = files_;
  for (int i = 0; i < extraCalls && !files_.empty(); ++i) deliveries.push_back(files_.back());
  for (const auto& file : deliveries) {
    queue->post([reader, file] { reader(file.path, file.error); });
  }
}

void FakePromiseReceiver::flush() const {
  if (!queue) return;
  struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto latch = std::make_shared<Latch>();
  queue->post([latch] {
    std::lock_guard lock(latch->mutex);
    latch->done = true;
    latch->cv.notify_all();
  });
  std::unique_lock lock(latch->mutex);
  latch->cv.wait(lock, [&] { return latch->done; });
}

}  // namespace vellumark::platform::fakes
