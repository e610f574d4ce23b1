// The drop target through the real codec, with scripted drags, promise
// receivers, bookmarks and file-system facts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop_drop/desktop_drop_plugin.h"
#include "desktop_drop/drop_target.h"
#include "embedding/engine.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_bundle.h"
#include "platform_fakes/fake_drag.h"
#include "platform_fakes/fake_file_manager.h"

namespace vellumark {
namespace {

namespace fakes = platform::fakes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kChannel[] = "desktop_drop";

ChannelValue item(const std::string& path, ChannelValue bookmark, bool isDirectory,
                  bool fromPromise) {
  return ChannelMap{{"path", path},
                    {"apple-bookmark", std::move(bookmark)},
                    {"isDirectory", isDirectory},
                    {"fromPromise", fromPromise}};
}

ChannelValue bookmarkOf(const std::string& path) {
  return ChannelValue::bytes(fakes::FakeBookmarks::bytesFor(path));
}

class DesktopDropTest : public ::testing::Test {
 protected:
  DesktopDropTest() {
    files->directories = {"/data/folder"};
    files->unreadable = {"/data/gone"};
    bookmarks->existing = {"/data/a.pdf",
                           "/data/b.pdf",
                           "/data/folder",
                           "/tmp/username/x.pdf",
                           "/tmp/user/own.pdf",
                           "/home/user/Library/Containers/com.v.app/c.pdf",
                           "/tmp/user/Drops/20250101_120000_123Z/p1.pdf"};
    bookmarks->readable = {"/data/a.pdf"};
    bundle->info["CFBundleIdentifier"] = platform::InfoValue{std::string("com.v.app")};
  }

  void registerPlugin() {
    platform::Services services;
    services.mainQueue = mainQueue;
    services.fileManager = files;
    services.bookmarks = bookmarks;
    services.bundle = bundle;
    controller = std::make_unique<FlutterViewController>(&view, services);
    DesktopDropPlugin::registerWithRegistrar(controller->registrarForPlugin("DesktopDropPlugin"));
    ui = std::make_unique<testing::TestUi>(controller->engine().binaryMessenger());
  }

  std::vector<MethodCall> events() const { return ui->methodCallsOn(kChannel); }
  std::vector<MethodCall> dropEvents() const {
    std::vector<MethodCall> found;
    for (auto& call : events()) {
      if (call.method == "performOperation_macos") found.push_back(call);
    }
    return found;
  }

  std::shared_ptr<ManualQueue> mainQueue = std::make_shared<ManualQueue>();
  std::shared_ptr<fakes::FakeFileManager> files = std::make_shared<fakes::FakeFileManager>();
  std::shared_ptr<fakes::FakeBookmarks> bookmarks = std::make_shared<fakes::FakeBookmarks>();
  std::shared_ptr<fakes::FakeBundle> bundle = std::make_shared<fakes::FakeBundle>();
  fakes::FakeDragView view{{0, 0, 800, 600}};
  std::unique_ptr<FlutterViewController> controller;
  std::unique_ptr<testing::TestUi> ui;
};

TEST_F(DesktopDropTest, RegistersTheDropTypesOnlyOnAViewInAWindow) {
  view.inWindow = false;
  registerPlugin();
  EXPECT_FALSE(controller->engine().binaryMessenger().hasHandler(kChannel));
  EXPECT_EQ(view.destination, nullptr);

  view.inWindow = true;
  ui.reset();
  registerPlugin();
  EXPECT_TRUE(controller->engine().binaryMessenger().hasHandler(kChannel));
  EXPECT_THAT(view.registeredTypes,
              ElementsAre("file-promise", "public.file-url", "NSFilenamesPboardType"));
}

TEST_F(DesktopDropTest, DragMovesAreSentWithATopLeftOrigin) {
  registerPlugin();
  fakes::FakeDraggingInfo info({10, 20});
  EXPECT_EQ(view.destination->draggingEntered(info), platform::DragOperation::Copy);
  info.location = {12.5, 600};
  EXPECT_EQ(view.destination->draggingUpdated(info), platform::DragOperation::Copy);
  view.destination->draggingExited();

  const auto sent = events();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].method, "entered");
  EXPECT_EQ(sent[0].arguments, ChannelValue(ChannelList{10.0, 580.0}));
  EXPECT_EQ(sent[1].method, "updated");
  EXPECT_EQ(sent[1].arguments, ChannelValue(ChannelList{12.5, 0.0}));
  EXPECT_EQ(sent[2].method, "exited");
  EXPECT_TRUE(sent[2].arguments.isNull());
}

TEST_F(DesktopDropTest, DroppedFilesAreReportedOnceEachWithBookmarksWhereNeeded) {
  registerPlugin();
  fakes::FakeDraggingInfo info;
  info.pasteboard.urls = {"/data/a.pdf", "/data/folder", "/data/gone", "/tmp/username/x.pdf"};
  info.pasteboard.names = {"/data/folder", "/data/b.pdf", "/tmp/user/own.pdf",
                           "/home/user/Library/Containers/com.v.app/c.pdf"};
  // Ignored: files were offered directly.
  info.pasteboard.receivers = {std::make_shared<fakes::FakePromiseReceiver>(
      std::vector<fakes::PromisedFile>{{"p", "/p", std::nullopt}})};
  EXPECT_TRUE(view.destination->performDragOperation(info));
  EXPECT_TRUE(dropEvents().empty()) << "sent from the main queue";
  mainQueue->runUntilIdle();

  const auto drops = dropEvents();
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].arguments,
            ChannelValue(ChannelList{
                item("/data/a.pdf", bookmarkOf("/data/a.pdf"), false, false),
                item("/data/folder", bookmarkOf("/data/folder"), true, false),
                // Unreadable directory flag, and no file to bookmark.
                item("/data/gone", ChannelValue(), false, false),
                // Beside the temporary folder, not in it.
                item("/tmp/username/x.pdf", bookmarkOf("/tmp/username/x.pdf"), false, false),
                item("/data/b.pdf", bookmarkOf("/data/b.pdf"), false, false),
                item("/tmp/user/own.pdf", ChannelValue(), false, false),
                item("/home/user/Library/Containers/com.v.app/c.pdf", ChannelValue(), false, false),
            }));
  EXPECT_THAT(files->created(), ElementsAre("/tmp/user/Drops/20250101_120000_123Z"));
}

TEST_F(DesktopDropTest, FileNamesAloneAndEmptyDropsStillReport) {
  registerPlugin();
  fakes::FakeDraggingInfo names;
  names.pasteboard.names = {"/data/b.pdf", "/data/b.pdf"};
  view.destination->performDragOperation(names);
  fakes::FakeDraggingInfo empty;
  files->failCreate = true;  // ignored
  view.destination->performDragOperation(empty);
  mainQueue->runUntilIdle();

  const auto drops = dropEvents();
  ASSERT_EQ(drops.size(), 2u);
  EXPECT_EQ(
      drops[0].arguments,
      ChannelValue(ChannelList{item("/data/b.pdf", bookmarkOf("/data/b.pdf"), false, false)}));
  EXPECT_EQ(drops[1].arguments, ChannelValue(ChannelList{}));
}

TEST_F(DesktopDropTest, PromisesReportOnceAfterTheLastFileOfEveryReceiver) {
  registerPlugin();
  const std::string dir = "/tmp/user/Drops/20250101_120000_123Z";
  auto first = std::make_shared<fakes::FakePromiseReceiver>(
      std::vector<fakes::PromisedFile>{{"p1.pdf", dir + "/p1.pdf", std::nullopt},
                                       {"broken.pdf", "", std::string("the source gave up")},
                                       {"p2.pdf", dir + "/p2.pdf", std::nullopt}});
  // A source that calls back more often than it promised.
  first->extraCalls = 2;
  auto second = std::make_shared<fakes::FakePromiseReceiver>(
      std::vector<fakes::PromisedFile>{{"p3", dir + "/p3", std::nullopt}});
  auto none = std::make_shared<fakes::FakePromiseReceiver>(std::vector<fakes::PromisedFile>{});
  fakes::FakeDraggingInfo info;
  info.pasteboard.receivers = {first, none, second};

  ::testing::internal::CaptureStdout();
  view.destination->performDragOperation(info);
  first->flush();  // one work queue for all receivers
  const std::string out = ::testing::internal::GetCapturedStdout();
  mainQueue->runUntilIdle();

  EXPECT_EQ(first->destination, dir);
  EXPECT_EQ(first->queue, second->queue);
  EXPECT_THAT(out, HasSubstr("NSFilePromiseReceiver error: the source gave up\n"));
  const auto drops = dropEvents();
  ASSERT_EQ(drops.size(), 1u);
  // Promised files in the temporary folder need no bookmark.
  EXPECT_EQ(drops[0].arguments, ChannelValue(ChannelList{
                                    item(dir + "/p1.pdf", ChannelValue(), false, true),
                                    item(dir + "/p2.pdf", ChannelValue(), false, true),
                                    item(dir + "/p3", ChannelValue(), false, true),
                                }));

  // The next promise drop reuses the work queue.
  auto later = std::make_shared<fakes::FakePromiseReceiver>(
      std::vector<fakes::PromisedFile>{{"q", "/q", std::nullopt}});
  fakes::FakeDraggingInfo again;
  again.pasteboard.receivers = {later};
  view.destination->performDragOperation(again);
  later->flush();
  mainQueue->runUntilIdle();
  EXPECT_EQ(later->queue, first->queue);
  EXPECT_EQ(dropEvents().size(), 2u);
}

TEST_F(DesktopDropTest, TheDropDirectoryIsNamedByLocalTime) {
  EXPECT_EQ(DropTarget::dropDirectoryName({2025, 1, 1, 12, 0, 0, 123}), "20250101_120000_123Z");
  EXPECT_EQ(DropTarget::dropDirectoryName({1999, 12, 31, 23, 59, 7, 5}), "19991231_235907_005Z");
}

TEST_F(DesktopDropTest, BookmarksStartAndStopAccess) {
  registerPlugin();
  auto args = [](ChannelValue bookmark) { return ChannelMap{{"apple-bookmark", bookmark}}; };
  EXPECT_EQ(
      ui->call(kChannel, "startAccessingSecurityScopedResource", args(bookmarkOf("/data/a.pdf"))),
      MethodResponse(ChannelValue(true)));
  EXPECT_EQ(
      ui->call(kChannel, "startAccessingSecurityScopedResource", args(bookmarkOf("/data/b.pdf"))),
      MethodResponse(ChannelValue(false)));
  EXPECT_EQ(
      ui->call(kChannel, "startAccessingSecurityScopedResource", args(bookmarkOf("/no/such"))),
      MethodResponse(ChannelValue()));
  EXPECT_EQ(ui->call(kChannel, "startAccessingSecurityScopedResource", ChannelValue("x")),
            MethodResponse(ChannelValue()));
  EXPECT_EQ(
      ui->call(kChannel, "stopAccessingSecurityScopedResource", args(bookmarkOf("/data/a.pdf"))),
      MethodResponse(ChannelValue(true)));
  EXPECT_EQ(ui->call(kChannel, "stopAccessingSecurityScopedResource", args(bookmarkOf("/gone"))),
            MethodResponse(ChannelValue(true)));
  EXPECT_THAT(bookmarks->accesses,
              ElementsAre("start /data/a.pdf", "start /data/b.pdf", "stop /data/a.pdf"));

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ui->call(kChannel, "startAccessing"), MethodResponse(FlutterMethodNotImplemented));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "method not found: startAccessing\n");
}

TEST_F(DesktopDropTest, APromiseDropOutlivingItsTargetSendsNothing) {
  registerPlugin();
  auto receiver = std::make_shared<fakes::FakePromiseReceiver>(
      std::vector<fakes::PromisedFile>{{"p", "/p", std::nullopt}});
  fakes::FakeDraggingInfo info;
  info.pasteboard.receivers = {receiver};
  view.destination->performDragOperation(info);
  receiver->flush();
  // The view lets go of its target (the window went) before the main queue runs.
  view.destination.reset();
  mainQueue->runUntilIdle();
  EXPECT_TRUE(dropEvents().empty());
}

}  // namespace
}  // namespace vellumark
