// Scripted drags for tests: a UI view that keeps its drop destination, drag
// information with a pasteboard the test fills, and promise receivers whose
// deliveries the test scripts.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_shell.h"
#include "platform/drag_drop.h"

namespace vellumark::platform::fakes {

// A UI view that takes drops while `inWindow`.
class FakeDragView : public UiView {
 public:
  explicit FakeDragView(Rect bounds = {0, 0, 800, 600}) : bounds_(bounds) {}
  Rect bounds() const override { return bounds_; }
  void addSubview(std::shared_ptr<ShellView> /*subview*/) override {}
  bool registerForDraggedTypes(const std::vector<std::string>& types,
                               std::shared_ptr<DraggingDestination> destination) override;

  bool inWindow = true;
  std::vector<std::string> registeredTypes;
  std::shared_ptr<DraggingDestination> destination;

 private:
  Rect bounds_;
};

// One promised file: delivered at `path`, or failing with `error`.
struct PromisedFile {
  std::string name;
  std::string path;
  std::optional<std::string> error;
};

// Delivers its files on the queue it is given, one reader call per file
// (plus `extraCalls` more, as a misbehaving source would).
class FakePromiseReceiver : public FilePromiseReceiver {
 public:
  explicit FakePromiseReceiver(std::vector<PromisedFile> files) : files_(std::move(files)) {}
  std::vector<std::string> fileNames() const override;
  void receivePromisedFiles(const std::string& destination, std::shared_ptr<TaskQueue> queue,
                            Reader reader) override;

  // Waits until everything posted to the queue so far has run. Not on that
  // queue's thread.
  void flush() const;

  int extraCalls = 0;
  std::string destination;
  std::shared_ptr<TaskQueue> queue;

 private:
  std::vector<PromisedFile> files_;
};

class FakePasteboard : public DraggingPasteboard {
 public:
  std::vector<std::string> fileURLs() const override { return urls; }
  std::vector<std::string> filenames() const override { return names; }
  std::vector<std::shared_ptr<FilePromiseReceiver>> filePromiseReceivers() const override {
    return receivers;
  }

  std::vector<std::string> urls;
  std::vector<std::string> names;
  std::vector<std::shared_ptr<FilePromiseReceiver>> receivers;
};

class FakeDraggingInfo : public DraggingInfo {
 public:
  explicit FakeDraggingInfo(Point at = {}) : location(at) {}
  Point draggingLocation() const override { return location; }
  DraggingPasteboard& draggingPasteboard() override { return pasteboard; }

  Point location;
  FakePasteboard pasteboard;
};

}  // namespace vellumark::platform::fakes
