// The Linux backends of the file services: entitlements from the bundle,
// GTK file choosers, GIO content types, the file system and bookmarks.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bookmarks.h"
#include "platform/content_types.h"
#include "platform/entitlements.h"
#include "platform/file_manager.h"
#include "platform/file_panels.h"

namespace vellumark::linux_platform {

// Reads `bundlePath`/Entitlements.plist afresh for every task: a missing file
// means no entitlements; an unreadable or malformed one, no task.
std::shared_ptr<platform::Entitlements> createEntitlements(std::string bundlePath);

// GtkFileChooserNative, modal for the GTK window that holds the view.
std::shared_ptr<platform::FilePanels> createFilePanels();

// shared-mime-info through GIO.
std::shared_ptr<platform::ContentTypes> createContentTypes();

// The temporary folder is the user's own folder below the system's one
// ($TMPDIR or /tmp), made on first use with mode 0700.
std::shared_ptr<platform::FileManager> createFileManager();

// Bookmarks are versioned records of a file's absolute path and identity.
std::shared_ptr<platform::Bookmarks> createBookmarks();

// The bookmark record, for tests: nullopt when `data` is not one.
struct BookmarkRecord {
  std::string path;
  uint64_t device = 0;
  uint64_t inode = 0;
};
std::vector<uint8_t> encodeBookmark(const BookmarkRecord& record);
std::optional<BookmarkRecord> decodeBookmark(const std::vector<uint8_t>& data);

}  // namespace vellumark::linux_platform
