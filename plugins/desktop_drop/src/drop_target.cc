#include "desktop_drop/drop_target.h"

#include <cstdio>
#include <set>
#include <string_view>
#include <utility>

#include "embedding/task_queue.h"

namespace vellumark {

namespace {

constexpr char kEventEntered[] = "entered";
constexpr char kEventUpdated[] = "updated";
constexpr char kEventExited[] = "exited";
constexpr char kEventPerformOperation[] = "performOperation_macos";

constexpr char kKeyPath[] = "path";
constexpr char kKeyBookmark[] = "apple-bookmark";
constexpr char kKeyIsDirectory[] = "isDirectory";
constexpr char kKeyFromPromise[] = "fromPromise";

constexpr char kDropsDirectory[] = "Drops";
constexpr char kContainersDirectory[] = "Library/Containers";
constexpr char kWorkQueueLabel[] = "desktop_drop.promises";
constexpr char kPromiseErrorLine[] = "NSFilePromiseReceiver error: ";

// `base` with `name` appended as a directory, without a trailing slash.
std::string appendDirectory(std::string base, std::string_view name) {
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (name.empty()) return base;
  if (base.empty() || base.back() != '/') base += '/';
  base += name;
  return base;
}

// Whether `path` is `folder` or lies inside it. Compared by whole path
// components: "/tmp/a" is not inside "/tmp/ab".
bool isInside(std::string_view path, std::string_view folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  if (path.substr(0, folder.size()) != folder) return false;
  return path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/';
}

}  // namespace

// One drop: shared by performDragOperation and the drop's promise readers.
struct DropTarget::Drop {
  std::shared_ptr<std::mutex> lock;
  Services services;
  std::weak_ptr<DropTarget> target;
  // The application's own folders: files in them need no bookmark to be
  // reopened. Empty when unknown; set before any item is added.
  std::string container;
  std::string temporary;
  // Guarded by `lock`.
  ChannelList items;
  std::set<std::string> seen;
  // Deliveries still awaited, plus one for the collection itself.
  size_t outstanding = 1;
  bool sent = false;
};

DropTarget::DropTarget(std::shared_ptr<FlutterMethodChannel> channel, const platform::UiView& view,
                       Services services, WorkQueueFactory makeWorkQueue)
    : channel_(std::move(channel)),
      view_(view),
      services_(std::move(services)),
      makeWorkQueue_(std::move(makeWorkQueue)) {}

platform::DragOperation DropTarget::draggingEntered(platform::DraggingInfo& info) {
  channel_->invokeMethod(kEventEntered, position(info));
  return platform::DragOperation::Copy;
}

platform::DragOperation DropTarget::draggingUpdated(platform::DraggingInfo& info) {
  channel_->invokeMethod(kEventUpdated, position(info));
  return platform::DragOperation::Copy;
}

void DropTarget::draggingExited() { channel_->invokeMethod(kEventExited, ChannelValue()); }

bool DropTarget::performDragOperation(platform::DraggingInfo& info) {
  platform::DraggingPasteboard& pasteboard = info.draggingPasteboard();
  const std::string directory = makeDropDirectory();
  auto drop = std::make_shared<Drop>();
  drop->lock = itemsLock_;
  drop->services = services_;
  drop->target = weak_from_this();
  if (services_.fileManager) {
    const std::string bundleId =
        services_.bundle ? services_.bundle->bundleIdentifier().value_or("") : "";
    const std::string home = services_.fileManager->homeDirectory();
    if (!home.empty()) {
      drop->container = appendDirectory(appendDirectory(home, kContainersDirectory), bundleId);
    }
    drop->temporary = appendDirectory(services_.fileManager->temporaryDirectory(), "");
  }

  const std::vector<std::string> urls = pasteboard.fileURLs();
  const std::vector<std::string> names = pasteboard.filenames();
  {
    std::lock_guard lock(*itemsLock_);
    // A file offered both ways is reported once, as its URL.
    for (const std::string& url : urls) addItemLocked(*drop, url, false);
    for (const std::string& name : names) addItemLocked(*drop, name, false);
  }

  if (urls.empty() && names.empty()) {
    const auto receivers = pasteboard.filePromiseReceivers();
    if (!receivers.empty() && !workQueue_) {
      workQueue_ =
          makeWorkQueue_ ? makeWorkQueue_() : std::make_shared<SerialQueue>(kWorkQueueLabel);
    }
    for (const auto& receiver : receivers) {
      // Counted per promised file, not per receiver: the reader runs once
      // for each file, and the event waits for the last of them.
      const size_t files = receiver->fileNames().size();
      {
        std::lock_guard lock(*itemsLock_);
        drop->outstanding += files;
      }
      auto remaining = std::make_shared<size_t>(files);
      receiver->receivePromisedFiles(
          directory, workQueue_,
          [drop, remaining](const std::string& path, const std::optional<std::string>& error) {
            std::lock_guard lock(*drop->lock);
            // A source calling back more often than it promised files
            // changes nothing: the drop may already be reported.
            if (*remaining == 0) return;
            --*remaining;
            if (error) {
              std::printf("%s%s\n", kPromiseErrorLine, error->c_str());
              std::fflush(stdout);
            } else {
              addItemLocked(*drop, path, true);
            }
            leaveLocked(drop);
          });
    }
  }

  std::lock_guard lock(*itemsLock_);
  leaveLocked(drop);
  return true;
}

void DropTarget::addItemLocked(Drop& drop, const std::string& path, bool fromPromise) {
  if (!drop.seen.insert(path).second) return;
  const Services& services = drop.services;

  const std::optional<bool> directory =
      services.fileManager ? services.fileManager->isDirectory(path) : std::nullopt;

  const bool ownFolder = isInside(path, drop.container) || isInside(path, drop.temporary);
  ChannelValue bookmark;
  if (!ownFolder && services.bookmarks) {
    if (auto data = services.bookmarks->bookmarkData(path)) bookmark = ChannelValue::bytes(*data);
  }

  drop.items.emplace_back(ChannelMap{{kKeyPath, path},
                                     {kKeyBookmark, std::move(bookmark)},
                                     {kKeyIsDirectory, directory.value_or(false)},
                                     {kKeyFromPromise, fromPromise}});
}

void DropTarget::leaveLocked(const std::shared_ptr<Drop>& drop) {
  if (drop->sent || drop->outstanding == 0) return;
  if (--drop->outstanding > 0) return;
  drop->sent = true;
  // The channel is used on the main thread only.
  drop->services.mainQueue->post([target = drop->target, items = std::move(drop->items)]() mutable {
    if (auto self = target.lock()) {
      self->channel_->invokeMethod(kEventPerformOperation, ChannelValue(std::move(items)));
    }
  });
}

std::string DropTarget::dropDirectoryName(const platform::LocalDateTime& time) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d%02d%02d_%02d%02d%02d_%03dZ", time.year, time.month,
                time.day, time.hour, time.minute, time.second, time.millisecond);
  return name;
}

std::string DropTarget::makeDropDirectory() const {
  if (!services_.fileManager) return {};
  const std::string drops =
      appendDirectory(services_.fileManager->temporaryDirectory(), kDropsDirectory);
  const std::string directory =
      appendDirectory(drops, dropDirectoryName(services_.fileManager->now()));
  // A folder that cannot be made fails the promises that need it, each
  // reported on its own.
  services_.fileManager->createDirectory(directory, true);
  return directory;
}

ChannelValue DropTarget::position(const platform::DraggingInfo& info) const {
  const platform::Point location = info.draggingLocation();
  return ChannelValue(ChannelList{location.x, view_.bounds().height - location.y});
}

}  // namespace vellumark
