#include "update_install.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform_linux/bundle.h"
#include "update_version.h"

namespace vellumark::linux_platform::update {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlockSize = 64 * 1024;

struct ReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};

std::string errnoText(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// The one place libarchive's statuses become readable text.
std::string archiveError(const char* call, archive* a) {
  const char* why = archive_error_string(a);
  return std::string(call) + ": " + (why != nullptr ? why : "unknown error");
}

// A relative path with no "..", no empty or absolute start.
bool isContained(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  for (const auto& part : fs::path(path)) {
    if (part == "..") return false;
  }
  return true;
}

// A symbolic link at `path` with target `target` stays inside the tree.
bool linkStaysInside(const std::string& path, const std::string& target) {
  if (target.empty() || target.front() == '/') return false;
  const fs::path resolved = (fs::path(path).parent_path() / target).lexically_normal();
  const std::string text = resolved.string();
  return !text.empty() && text != ".." && text.rfind("../", 0) != 0;
}

}  // namespace

std::string infoString(const platform::Bundle* bundle, const char* key) {
  if (bundle == nullptr) return {};
  auto value = bundle->objectForInfoDictionaryKey(key);
  const std::string* text = value ? value->asString() : nullptr;
  return text != nullptr ? *text : std::string();
}

std::string makeStagingFolder(const std::string& bundlePath, std::string* error) {
  const fs::path bundle(bundlePath);
  std::string pattern =
      (bundle.parent_path() / ("." + bundle.filename().string() + ".update-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    *error = errnoText("creating a staging folder beside " + bundlePath, errno);
    return {};
  }
  return std::string(buffer.data());
}

bool unpackArchive(const std::string& archivePath, const std::string& folder, std::string* error) {
  // Entry names are checked here; the destination is absolute and, so that
  // libarchive's link checks see no link on the way to it, canonical.
  std::error_code ec;
  const std::string into = fs::canonical(folder, ec).string();
  if (ec) {
    *error = "resolving " + folder + ": " + ec.message();
    return false;
  }
  std::unique_ptr<archive, ReadFree> in(archive_read_new());
  std::unique_ptr<archive, WriteFree> out(archive_write_disk_new());
  if (!in || !out) {
    *error = "archive_read_new: out of memory";
    return false;
  }
  archive_read_support_filter_all(in.get());
  archive_read_support_format_all(in.get());
  archive_write_disk_set_options(
      out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                     ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_NO_OVERWRITE);
  if (archive_read_open_filename(in.get(), archivePath.c_str(), kBlockSize) != ARCHIVE_OK) {
    *error = archiveError("archive_read_open_filename", in.get());
    return false;
  }
  size_t entries = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(in.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
      *error = archiveError("archive_read_next_header", in.get());
      return false;
    }
    const char* rawName = archive_entry_pathname(entry);
    std::string name = rawName != nullptr ? rawName : "";
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    if (name.empty() || name == ".") continue;  // the archive's own root
    if (!isContained(name)) {
      *error = "the update archive holds an entry outside its folder: " + name;
      return false;
    }
    const mode_t type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) != nullptr) {
      *error = "the update archive holds a hard link: " + name;
      return false;
    }
    if (type == AE_IFLNK) {
      const char* target = archive_entry_symlink(entry);
      if (target == nullptr || !linkStaysInside(name, target)) {
        *error = "the update archive holds a link leading outside it: " + name;
        return false;
      }
    } else if (type != AE_IFREG && type != AE_IFDIR) {
      *error = "the update archive holds something that is not a file or folder: " + name;
      return false;
    }
    const std::string destination = into + "/" + name;
    archive_entry_set_pathname(entry, destination.c_str());
    // Never set-id bits or another owner's files from a download.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
    if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
      *error = archiveError("archive_write_header", out.get());
      return false;
    }
    if (type == AE_IFREG) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      for (;;) {
        const int d = archive_read_data_block(in.get(), &block, &size, &offset);
        if (d == ARCHIVE_EOF) break;
        if (d != ARCHIVE_OK && d != ARCHIVE_WARN) {
          *error = archiveError("archive_read_data_block", in.get());
          return false;
        }
        if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
          *error = archiveError("archive_write_data_block", out.get());
          return false;
        }
      }
    }
    if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
      *error = archiveError("archive_write_finish_entry", out.get());
      return false;
    }
    ++entries;
  }
  if (archive_write_close(out.get()) != ARCHIVE_OK) {
    *error = archiveError("archive_write_close", out.get());
    return false;
  }
  if (entries == 0) {
    *error = "the update archive is empty";
    return false;
  }
  return true;
}

std::string findNewBundle(const std::string& unpacked, const BundleExpectation& expected,
                          std::string* error) {
  std::error_code ec;
  fs::path candidate(unpacked);
  if (!fs::exists(candidate / "Info.plist", ec)) {
    // One folder at the top, holding the bundle.
    std::vector<fs::path> folders;
    for (const auto& item : fs::directory_iterator(candidate, ec)) {
      if (item.is_directory(ec) && !item.is_symlink(ec)) folders.push_back(item.path());
    }
    if (folders.size() != 1 || !fs::exists(folders.front() / "Info.plist", ec)) {
      *error = "the update archive holds no application bundle";
      return {};
    }
    candidate = folders.front();
  }
  std::string why;
  auto bundle = openBundle(candidate.string(), &why);
  if (!why.empty()) {
    *error = "the update's Info.plist cannot be read: " + why;
    return {};
  }
  if (infoString(bundle.get(), "CFBundleIdentifier") != expected.identifier) {
    *error = "the update is not a bundle of this application";
    return {};
  }
  const fs::path exe = candidate / "bin" / expected.executable;
  struct stat st {};
  if (::lstat(exe.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0) {
    *error = "the update has no executable bin/" + expected.executable;
    return {};
  }
  const std::string version = infoString(bundle.get(), "CFBundleVersion");
  if (version.empty() || compareVersions(version, expected.currentVersion) <= 0) {
    *error = "the update's version (" + (version.empty() ? std::string("none") : version) +
             ") is not newer than the installed one (" + expected.currentVersion + ")";
    return {};
  }
  return candidate.string();
}

bool swapBundles(const std::string& bundlePath, const std::string& newBundle, std::string* error) {
  if (::syscall(SYS_renameat2, AT_FDCWD, newBundle.c_str(), AT_FDCWD, bundlePath.c_str(),
                RENAME_EXCHANGE) == 0) {
    return true;
  }
  const int err = errno;
  // Only a file system or kernel without the exchange falls back.
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) {
    *error = errnoText("renameat2 " + newBundle + " " + bundlePath, err);
    return false;
  }
  const std::string aside = newBundle + ".previous";
  if (::rename(bundlePath.c_str(), aside.c_str()) != 0) {
    *error = errnoText("rename " + bundlePath, errno);
    return false;
  }
  if (::rename(newBundle.c_str(), bundlePath.c_str()) != 0) {
    const int second = errno;
    ::rename(aside.c_str(), bundlePath.c_str());
    *error = errnoText("rename " + newBundle, second);
    return false;
  }
  if (::rename(aside.c_str(), newBundle.c_str()) != 0) {
    // The new bundle is in place; the old one stays at `aside` for removal.
  }
  return true;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

}  // namespace vellumark::linux_platform::update
