// The drop destination laid over the whole UI view. Drag callbacks and the
// events it sends run on the main thread; promised files are added from the
// work queue's thread, under the items lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "embedding/channels.h"
#include "platform/app_shell.h"
#include "platform/bookmarks.h"
#include "platform/bundle.h"
#include "platform/drag_drop.h"
#include "platform/file_manager.h"
#include "platform/task_queue.h"

namespace vellumark {

class DropTarget : public platform::DraggingDestination,
                   public std::enable_shared_from_this<DropTarget> {
 public:
  struct Services {
    std::shared_ptr<platform::FileManager> fileManager;
    std::shared_ptr<platform::Bookmarks> bookmarks;
    std::shared_ptr<platform::Bundle> bundle;
    std::shared_ptr<platform::TaskQueue> mainQueue;
  };
  using WorkQueueFactory = std::function<std::shared_ptr<platform::TaskQueue>()>;

  // `view` holds the target and so outlives every drag callback. The work
  // queue is made by `makeWorkQueue` on the first drop with promised files
  // (default: a worker thread of its own).
  DropTarget(std::shared_ptr<FlutterMethodChannel> channel, const platform::UiView& view,
             Services services, WorkQueueFactory makeWorkQueue = nullptr);

  platform::DragOperation draggingEntered(platform::DraggingInfo& info) override;
  platform::DragOperation draggingUpdated(platform::DraggingInfo& info) override;
  void draggingExited() override;
  bool performDragOperation(platform::DraggingInfo& info) override;

  // The drop directory's name for a drop at `time`: yyyyMMdd_HHmmss_SSS
  // followed by a literal Z.
  static std::string dropDirectoryName(const platform::LocalDateTime& time);

 private:
  struct Drop;
  // Adds the file at `path` unless the drop has it already. Caller holds the
  // items lock; any thread.
  static void addItemLocked(Drop& drop, const std::string& path, bool fromPromise);
  // One delivery fewer outstanding; the last one sends the drop's event.
  static void leaveLocked(const std::shared_ptr<Drop>& drop);
  std::string makeDropDirectory() const;
  ChannelValue position(const platform::DraggingInfo& info) const;

  std::shared_ptr<FlutterMethodChannel> channel_;
  const platform::UiView& view_;
  Services services_;
  // Guards each drop's items, seen paths and outstanding count.
  std::shared_ptr<std::mutex> itemsLock_ = std::make_shared<std::mutex>();
  WorkQueueFactory makeWorkQueue_;
  std::shared_ptr<platform::TaskQueue> workQueue_;
};

}  // namespace vellumark
