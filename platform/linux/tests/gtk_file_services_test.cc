// The Linux file services on this machine: the bundle's entitlements file,
// GIO's content types, bookmark records and the user's temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {
namespace {

namespace fs = std::filesystem;

class FileServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellumark-files.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    ::chmod(dir.c_str(), 0700);
    fs::remove_all(dir);
  }
  void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

  fs::path dir;
};

TEST_F(FileServicesTest, EntitlementsAreReadAfreshFromTheBundle) {
  auto entitlements = createEntitlements(dir.string());
  // No file: a task without entitlements.
  auto task = entitlements->createTaskFromSelf();
  ASSERT_TRUE(task);
  EXPECT_FALSE(task->copyValueForEntitlement("com.apple.security.app-sandbox"));

  write(dir / "Entitlements.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>rw</key><true/><key>ro</key><false/><key>s</key><string>true</string>
<key>list</key><array><string>x</string></array>
</dict></plist>)");
  task = entitlements->createTaskFromSelf();
  ASSERT_TRUE(task);
  EXPECT_EQ(task->copyValueForEntitlement("rw"), platform::InfoValue{true});
  EXPECT_EQ(task->copyValueForEntitlement("ro"), platform::InfoValue{false});
  EXPECT_EQ(task->copyValueForEntitlement("s"), platform::InfoValue{std::string("true")});
  EXPECT_EQ(task->copyValueForEntitlement("list"),
            platform::InfoValue{platform::InfoValue::Other{}});

  write(dir / "Entitlements.plist", "<plist><dict><key>broken");
  EXPECT_FALSE(entitlements->createTaskFromSelf()) << "malformed";
  write(dir / "Entitlements.plist", "<plist version=\"1.0\"><array/></plist>");
  EXPECT_FALSE(entitlements->createTaskFromSelf()) << "not a dictionary";
  if (::geteuid() != 0) {
    ::chmod((dir / "Entitlements.plist").c_str(), 0);
    EXPECT_FALSE(entitlements->createTaskFromSelf()) << "unreadable";
  }
  fs::remove(dir / "Entitlements.plist");
  fs::create_directory(dir / "Entitlements.plist");
  EXPECT_FALSE(entitlements->createTaskFromSelf()) << "a folder is no file";
}

TEST_F(FileServicesTest, ContentTypesKnowRegisteredExtensionsOnly) {
  auto types = createContentTypes();
  EXPECT_EQ(types->typeForFilenameExtension("pdf"), platform::ContentType{"application/pdf"});
  EXPECT_EQ(types->typeForFilenameExtension("PDF"), platform::ContentType{"application/pdf"});
  EXPECT_FALSE(types->typeForFilenameExtension("zzqq-unregistered"));
  EXPECT_FALSE(types->typeForFilenameExtension(""));
  EXPECT_FALSE(types->typeForFilenameExtension("pdf/x"));
}

TEST_F(FileServicesTest, BookmarksLeadBackToTheFileAndRejectForgedRecords) {
  auto bookmarks = createBookmarks();
  const fs::path file = dir / "doc one.pdf";
  write(file, "%PDF");
  EXPECT_FALSE(bookmarks->bookmarkData((dir / "missing").string()));
  EXPECT_FALSE(bookmarks->bookmarkData("relative.pdf"));

  auto data = bookmarks->bookmarkData(file.string());
  ASSERT_TRUE(data);
  auto record = decodeBookmark(*data);
  ASSERT_TRUE(record);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(record->path, file.string());
  EXPECT_EQ(record->inode, static_cast<uint64_t>(st.st_ino));
  EXPECT_EQ(bookmarks->resolveBookmarkData(*data), file.string());
  EXPECT_TRUE(bookmarks->startAccessingSecurityScopedResource(file.string()));
  bookmarks->stopAccessingSecurityScopedResource(file.string());

  // Replaced by another file: still resolves (staleness is not reported).
  fs::remove(file);
  write(file, "%PDF-2");
  EXPECT_EQ(bookmarks->resolveBookmarkData(*data), file.string());
  fs::remove(file);
  EXPECT_FALSE(bookmarks->resolveBookmarkData(*data));
  EXPECT_FALSE(bookmarks->startAccessingSecurityScopedResource(file.string()));

  // Truncated, trailing bytes, another version, relative or NUL-cut paths.
  auto forged = *data;
  forged.pop_back();
  EXPECT_FALSE(decodeBookmark(forged));
  forged = *data;
  forged.push_back('x');
  EXPECT_FALSE(decodeBookmark(forged));
  forged = *data;
  forged[4] = 2;
  EXPECT_FALSE(decodeBookmark(forged));
  EXPECT_FALSE(decodeBookmark(encodeBookmark({"etc/passwd", 1, 2})));
  EXPECT_FALSE(decodeBookmark(encodeBookmark({std::string("/tmp/a\0b", 8), 1, 2})));
  EXPECT_FALSE(decodeBookmark({}));
}

TEST_F(FileServicesTest, TheTemporaryFolderIsTheUsersOwn) {
  auto files = createFileManager();
  const std::string tmp = files->temporaryDirectory();
  EXPECT_EQ(files->temporaryDirectory(), tmp) << "the same for the whole process";
  struct stat st {};
  ASSERT_EQ(::lstat(tmp.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, ::getuid());
  EXPECT_EQ(st.st_mode & 077, 0u);

  const std::string nested = (dir / "Drops/20250101_120000_123Z").string();
  EXPECT_TRUE(files->createDirectory(nested, true));
  EXPECT_EQ(files->isDirectory(nested), true);
  EXPECT_EQ(files->isDirectory((dir / "nothing").string()), std::nullopt);
  write(dir / "f", "x");
  EXPECT_EQ(files->isDirectory((dir / "f").string()), false);
  EXPECT_FALSE(files->createDirectory((dir / "f/sub").string(), true));

  const platform::LocalDateTime now = files->now();
  EXPECT_GE(now.year, 2024);
  EXPECT_LT(now.millisecond, 1000);
}

}  // namespace
}  // namespace vellumark::linux_platform
