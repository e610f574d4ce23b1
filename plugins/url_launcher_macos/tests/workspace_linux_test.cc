// The launcher's lookups on GIO's real default handlers, in private data and
// config folders (opening is covered by the whole-host test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "messages.h"
#include "platform_linux/workspace.h"
#include "url_launcher_macos/url_launcher_plugin.h"

namespace vellumark {
namespace url_launcher {
// Readable failures.
void PrintTo(const UrlLauncherBoolResult& result, std::ostream* os) {
  *os << "{value: " << result.value() << ", error: " << (result.error() ? "invalidUrl" : "null")
      << "}";
}
}  // namespace url_launcher

namespace {

namespace fs = std::filesystem;
using url_launcher::UrlLauncherBoolResult;

// Private XDG folders, set before GIO reads (and caches) them; removed at exit.
struct PrivateXdg {
  PrivateXdg() {
    char tmpl[] = "/tmp/vellumark-workspace.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    root = tmpl;
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    fs::create_directories(root / "data/applications");
    fs::create_directories(root / "config");
    std::ofstream(root / "data/applications/vellumark-test-handler.desktop")
        << "[Desktop Entry]\nType=Application\nName=Handler\nNoDisplay=true\n"
        << "Exec=/bin/true %u\nMimeType=x-scheme-handler/vmtest;text/plain;\n";
    // GIO finds handlers through the folder's MIME cache, as after an install.
    const std::string index =
        "update-desktop-database '" + (root / "data/applications").string() + "'";
    if (std::system(index.c_str()) != 0) std::abort();
    // Ours over any system handler of plain text.
    std::ofstream(root / "config/mimeapps.list")
        << "[Default Applications]\ntext/plain=vellumark-test-handler.desktop\n";
  }
  ~PrivateXdg() { fs::remove_all(root); }
  fs::path root;
};
const PrivateXdg xdg;

TEST(WorkspaceLinuxTest, SchemesAndFilesFindTheirHandlers) {
  auto workspace = linux_platform::createWorkspace();
  UrlLauncherPlugin plugin{workspace, linux_platform::createUrlParser()};
  EXPECT_EQ(plugin.canLaunchUrl("vmtest://hello/there?x=1"), UrlLauncherBoolResult(true, {}));
  // Schemes are case-insensitive.
  EXPECT_EQ(plugin.canLaunchUrl("VMTEST:other"), UrlLauncherBoolResult(true, {}));
  EXPECT_EQ(plugin.canLaunchUrl("vmtest-unclaimed://x"), UrlLauncherBoolResult(false, {}));
  EXPECT_EQ(workspace->urlForApplicationToOpenURL("vmtest://x"),
            (xdg.root / "data/applications/vellumark-test-handler.desktop").string());

  // A file by its content type; a file that is not there has none.
  const fs::path note = xdg.root / "note.txt";
  std::ofstream(note) << "plain words\n";
  EXPECT_EQ(plugin.canLaunchUrl("file://" + note.string()), UrlLauncherBoolResult(true, {}));
  EXPECT_EQ(plugin.canLaunchUrl("file://" + (xdg.root / "missing.txt").string()),
            UrlLauncherBoolResult(false, {}));
  // Embedded zero bytes never reach GLib.
  EXPECT_FALSE(workspace->openURL(std::string("vmtest://a\0b", 12)));
}

}  // namespace
}  // namespace vellumark
