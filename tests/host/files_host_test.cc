// The built host's file picker and drop target under Xvfb: a file chooser
// answered with xdotool, and drags from a GTK source of the tests' own onto
// the main window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "embedding/codec.h"
#include "host_fixture.h"

namespace vellumark {
namespace {

using namespace host_test;

constexpr char kPicker[] = "zorbeline.flutter.plugins.filepicker";
constexpr char kDrop[] = "desktop_drop";
inline const fs::path kDragSource = fs::path(VELLUMARK_BINARY_DIR) / "tests/drag_source";

std::string windowNamed(const std::string& pattern) {
  std::string id;
  waitFor(
      [&] {
        std::istringstream ids(
            run("timeout 5 xdotool search --onlyvisible --name '" + pattern + "' 2>/dev/null"));
        return static_cast<bool>(ids >> id);
      },
      10s);
  return id;
}

ChannelValue resultOf(const std::optional<Bytes>& reply) {
  if (!reply) return ChannelValue("<no reply>");
  const MethodEnvelope envelope = Ui::decode(*reply);
  if (const auto* value = std::get_if<ChannelValue>(&envelope)) return *value;
  return ChannelValue("<error>");
}

// The drag source running in the background; killed when it goes.
class DragSource {
 public:
  DragSource(const fs::path& log, const std::string& args) : log_(log) {
    pid_ = std::stoi(run("cd / && { " + kDragSource.string() + " " + args + " >" + log.string() +
                         " 2>&1 & echo $!; }"));
  }
  ~DragSource() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  bool waitFor(const std::string& word) const {
    return host_test::waitFor([&] { return readFile(log_).find(word) != std::string::npos; }, 10s);
  }
  std::string log() const { return readFile(log_); }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

class FilesHostTest : public HostTest {
 protected:
  // Starts the host with its temporary folder in the test's, and connects.
  void startAndConnect() {
    Host& h = makeHost();
    h.setEnv("TMPDIR", dir.string());
    h.start();
    ASSERT_TRUE(h.waitForSocket());
    ASSERT_TRUE(ui.connect(h.socket()));
    hostWindow = mainWindowId();
    ASSERT_FALSE(hostWindow.empty());
  }

  // Drags from the source window's middle to the host window's middle with
  // the pointer, as a person would, in small steps.
  void drag(const std::string& sourceWindow) {
    auto from = windowGeometry(sourceWindow);
    auto to = windowGeometry(hostWindow);
    ASSERT_TRUE(from && to);
    const int sx = from->x + from->width / 2;
    const int sy = from->y + from->height / 2;
    target = {to->x + to->width / 2, to->y + to->height / 2, to->width, to->height};
    hostOrigin = {to->x, to->y, 0, 0};
    std::ostringstream steps;
    steps << "xdotool mousemove " << sx << " " << sy << " sleep 0.2 mousedown 1 sleep 0.1";
    for (int i = 1; i <= 4; ++i) {
      steps << " mousemove " << sx + (target.x - sx) * i / 4 << " " << sy + (target.y - sy) * i / 4
            << " sleep 0.15";
    }
    steps << " mousemove " << target.x + 3 << " " << target.y + 3 << " sleep 0.2 mouseup 1";
    run(steps.str());
  }

  // The calls the host made on "desktop_drop" up to its drop event.
  std::vector<MethodCall> dragEvents() {
    std::vector<MethodCall> calls;
    while (auto message = ui.nextMessage(10s)) {
      if (message->channel != kDrop) continue;
      calls.push_back(StandardMethodCodec::sharedInstance()->decodeMethodCall(message->payload));
      if (calls.back().method == "performOperation_macos") break;
    }
    return calls;
  }

  Ui ui;
  std::string hostWindow;
  Geometry target;
  Geometry hostOrigin;
};

TEST_F(FilesHostTest, AFileChooserAnswersThePathTypedOrNullWhenCancelled) {
  startAndConnect();
  const fs::path chosen = dir / "chosen.pdf";
  std::ofstream(chosen) << "%PDF-1.7\n";

  const uint32_t call = ui.call(kPicker, "pickFiles",
                                ChannelMap{{"initialDirectory", dir.string()},
                                           {"allowedExtensions", ChannelList{"pdf", "zzqq"}}});
  const std::string dialog = windowNamed("^Open$");
  ASSERT_FALSE(dialog.empty()) << "no chooser on screen";
  // The chooser fills itself in after it maps; keys typed sooner reach
  // widgets GTK has not realized yet.
  run("xdotool sleep 1 windowactivate --sync " + dialog + " sleep 0.8 key ctrl+l sleep 0.8");
  // A name in the initial folder: a full path under /tmp would open GTK's
  // completion popup over the many folders there.
  run("xdotool type --delay 20 'chosen.pdf'");
  run("xdotool sleep 0.8 key Return");
  EXPECT_EQ(resultOf(ui.reply(call, 20s)), ChannelValue(ChannelList{chosen.string()}));

  const uint32_t cancelled = ui.call(kPicker, "saveFile", ChannelMap{{"dialogTitle", "Export"}});
  const std::string saveDialog = windowNamed("^Export$");
  ASSERT_FALSE(saveDialog.empty());
  run("xdotool sleep 1 windowactivate --sync " + saveDialog + " sleep 0.8 key Escape");
  EXPECT_TRUE(resultOf(ui.reply(cancelled, 20s)).isNull());
}

TEST_F(FilesHostTest, DraggedFilesArriveOnceWithBookmarksThatOpenAccess) {
  startAndConnect();
  const fs::path file = dir / "dropped file.pdf";
  std::ofstream(file) << "%PDF";
  fs::create_directory(dir / "folder");
  // Offered both as URIs and as plain-text paths: each file is reported once.
  DragSource source(dir / "source.log", "--at 1300 760 --text '" + file.string() + "' '" +
                                            (dir / "folder").string() + "'");
  ASSERT_TRUE(source.waitFor("ready"));
  const std::string sourceWindow = windowNamed("^Vellumark Drag Source$");
  ASSERT_FALSE(sourceWindow.empty());
  drag(sourceWindow);

  const auto calls = dragEvents();
  ASSERT_GE(calls.size(), 3u) << source.log();
  EXPECT_EQ(calls.front().method, "entered");
  const ChannelList* at = calls.front().arguments.asList();
  ASSERT_TRUE(at != nullptr && at->size() == 2);
  EXPECT_GE((*at)[0].get<double>(), 0.0);
  EXPECT_LE((*at)[0].get<double>(), target.width);
  EXPECT_GE((*at)[1].get<double>(), 0.0);
  EXPECT_LE((*at)[1].get<double>(), target.height);
  // The last move, in the view's points from its top left: x as in the
  // window, y below the menu bar.
  const MethodCall& last = calls[calls.size() - 2];
  ASSERT_EQ(last.method, "updated");
  const ChannelList& lastAt = *last.arguments.asList();
  EXPECT_EQ(lastAt[0].get<double>(), static_cast<double>(target.x + 3 - hostOrigin.x));
  const double windowY = target.y + 3 - hostOrigin.y;
  EXPECT_LE(lastAt[1].get<double>(), windowY);
  EXPECT_GE(lastAt[1].get<double>(), windowY - 60);
  size_t updates = 0;
  for (const auto& c : calls) {
    EXPECT_NE(c.method, "exited");
    if (c.method == "updated") ++updates;
  }
  EXPECT_GE(updates, 1u);
  ASSERT_EQ(calls.back().method, "performOperation_macos");
  const ChannelList* items = calls.back().arguments.asList();
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 2u);
  const ChannelMap& first = (*items)[0].get<ChannelMap>();
  EXPECT_EQ(*first.find("path"), ChannelValue(file.string()));
  EXPECT_EQ(*first.find("isDirectory"), ChannelValue(false));
  EXPECT_EQ(*first.find("fromPromise"), ChannelValue(false));
  const ChannelMap& second = (*items)[1].get<ChannelMap>();
  EXPECT_EQ(*second.find("path"), ChannelValue((dir / "folder").string()));
  EXPECT_EQ(*second.find("isDirectory"), ChannelValue(true));

  const ChannelValue bookmark = *first.find("apple-bookmark");
  ASSERT_NE(bookmark.asBytes(), nullptr);
  EXPECT_EQ(resultOf(ui.reply(ui.call(kDrop, "startAccessingSecurityScopedResource",
                                      ChannelMap{{"apple-bookmark", bookmark}}))),
            ChannelValue(true));
  EXPECT_EQ(resultOf(ui.reply(ui.call(kDrop, "stopAccessingSecurityScopedResource",
                                      ChannelMap{{"apple-bookmark", bookmark}}))),
            ChannelValue(true));
  fs::remove(file);
  EXPECT_TRUE(resultOf(ui.reply(ui.call(kDrop, "startAccessingSecurityScopedResource",
                                        ChannelMap{{"apple-bookmark", bookmark}})))
                  .isNull());
}

TEST_F(FilesHostTest, APromisedFileIsWrittenIntoANewDropFolder) {
  startAndConnect();
  DragSource source(dir / "source.log", "--at 1300 760 --promise 'promised.pdf' '%PDF-promised'");
  ASSERT_TRUE(source.waitFor("ready"));
  const std::string sourceWindow = windowNamed("^Vellumark Drag Source$");
  ASSERT_FALSE(sourceWindow.empty());
  drag(sourceWindow);

  const auto calls = dragEvents();
  ASSERT_FALSE(calls.empty()) << source.log();
  ASSERT_EQ(calls.back().method, "performOperation_macos") << source.log();
  const ChannelList* items = calls.back().arguments.asList();
  ASSERT_TRUE(items != nullptr && items->size() == 1) << source.log();
  const ChannelMap& item = (*items)[0].get<ChannelMap>();
  const std::string path = *item.find("path")->asString();
  EXPECT_EQ(*item.find("fromPromise"), ChannelValue(true));
  // In the host's own temporary folder: no bookmark needed.
  EXPECT_TRUE(item.find("apple-bookmark")->isNull());
  const fs::path drops = dir / ("vellumark-" + std::to_string(::getuid())) / "Drops";
  EXPECT_EQ(fs::path(path).parent_path().parent_path(), drops);
  const std::string folder = fs::path(path).parent_path().filename().string();
  EXPECT_EQ(folder.size(), std::string("20250101_120000_123Z").size()) << folder;
  EXPECT_EQ(folder.back(), 'Z');
  EXPECT_EQ(readFile(path), "%PDF-promised");
}

}  // namespace
}  // namespace vellumark
