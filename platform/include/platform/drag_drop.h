// Dragging files onto a view: what the view's drop destination is told while
// a drag moves over it, and the pasteboard it reads on a drop. Main-thread
// only unless a declaration says otherwise.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_shell.h"
#include "platform/task_queue.h"

namespace vellumark::platform {

// Pasteboard types a destination registers for.
namespace pasteboard_type {
// File URLs.
inline constexpr char kFileURL[] = "public.file-url";
// The legacy list of file names.
inline constexpr char kFilenames[] = "NSFilenamesPboardType";
// Files a source promises to write where the destination asks.
inline constexpr char kFilePromise[] = "file-promise";
}  // namespace pasteboard_type

enum class DragOperation : unsigned { NoOperation = 0, Copy = 1 };

// Files a drag source promises to write into a folder the destination
// chooses.
class FilePromiseReceiver {
 public:
  virtual ~FilePromiseReceiver() = default;

  // The pasteboard types receivers read.
  static std::vector<std::string> readableDraggedTypes() { return {pasteboard_type::kFilePromise}; }

  // The names of the promised files: the reader runs once for each.
  virtual std::vector<std::string> fileNames() const = 0;

  // Runs on the queue given to receivePromisedFiles(), once per promised
  // file: its path, or why it could not be delivered.
  using Reader =
      std::function<void(const std::string& path, const std::optional<std::string>& error)>;
  // Asks the source to write the files into `destination`. Each file's
  // reader call is made on `queue`, never inside this call.
  virtual void receivePromisedFiles(const std::string& destination,
                                    std::shared_ptr<TaskQueue> queue, Reader reader) = 0;
};

// The data a drop offers, read when the drop happened.
class DraggingPasteboard {
 public:
  virtual ~DraggingPasteboard() = default;
  // The file-system paths of the file URLs, in order (empty when none).
  virtual std::vector<std::string> fileURLs() const = 0;
  // The legacy file names, absolute paths in order (empty when none, or when
  // the data is not a list of paths).
  virtual std::vector<std::string> filenames() const = 0;
  // The file-promise receivers, in order (empty when none).
  virtual std::vector<std::shared_ptr<FilePromiseReceiver>> filePromiseReceivers() const = 0;
};

class DraggingInfo {
 public:
  virtual ~DraggingInfo() = default;
  // The pointer in the window's coordinates: points, origin at the window's
  // bottom left, y growing upwards.
  virtual Point draggingLocation() const = 0;
  virtual DraggingPasteboard& draggingPasteboard() = 0;
};

// Told about drags of a registered type over its view.
class DraggingDestination {
 public:
  virtual ~DraggingDestination() = default;
  virtual DragOperation draggingEntered(DraggingInfo& info) = 0;
  virtual DragOperation draggingUpdated(DraggingInfo& info) = 0;
  // The drag left the view without a drop.
  virtual void draggingExited() = 0;
  // The drop; true when it was taken.
  virtual bool performDragOperation(DraggingInfo& info) = 0;
};

}  // namespace vellumark::platform
