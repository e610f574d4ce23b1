#include "defaults_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vellumark::linux_platform::defaults {
namespace {

constexpr size_t kMaxDomainNameBytes = 200;
constexpr char kLockFile[] = "/.lock";
// Temporary files start with this and end in ".tmp": no domain file does.
constexpr char kTempPrefix[] = ".defaults-";
constexpr char kTempSuffix[] = ".tmp";
constexpr char kCorruptInfix[] = ".corrupt-";
// Larger files are not preferences; they are treated as unreadable.
constexpr off_t kMaxFileSize = 64 * 1024 * 1024;

std::string errnoText(const std::string& call, const std::string& path, int err) {
  return call + " " + path + ": " + std::strerror(err);
}

void logLine(const std::string& line) { std::fprintf(stderr, "user defaults: %s\n", line.c_str()); }

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

enum class ReadStatus { Ok, Missing, Failed };

// Reads the whole file; errno is set on Failed.
ReadStatus readWhole(const std::string& path, std::string& content) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ReadStatus::Failed;
  if (st.st_size > kMaxFileSize) {
    errno = EFBIG;
    return ReadStatus::Failed;
  }
  content.reserve(static_cast<size_t>(st.st_size));
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadStatus::Failed;
    if (n == 0) return ReadStatus::Ok;
    content.append(buffer, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Makes `path` and its missing parents, private to the user.
bool makeFolders(const std::string& path, std::string& error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = errnoText("mkdir", part, errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

// Removes temporary files a killed writer left; only called under the lock,
// when no writer can own one.
void removeStaleTemporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.starts_with(kTempPrefix) && name.ends_with(kTempSuffix)) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

}  // namespace

bool DomainFiles::canNameFile(const std::string& domain) {
  return !domain.empty() && domain.size() <= kMaxDomainNameBytes &&
         domain.find('/') == std::string::npos && domain.find('\0') == std::string::npos;
}

PlistPtr DomainFiles::read(const std::string& domain) const {
  if (!canNameFile(domain)) return nullptr;
  const std::string path = pathOf(domain);
  std::string content;
  switch (readWhole(path, content)) {
    case ReadStatus::Missing:
      return nullptr;
    case ReadStatus::Failed:
      logLine(errnoText("reading", path, errno));
      return nullptr;
    case ReadStatus::Ok:
      break;
  }
  std::string why;
  if (PlistPtr root = parseDomain(content, why)) return root;
  // Look again under the lock before moving it aside: a file can only be
  // torn if something other than this store wrote it.
  std::string error;
  update(
      domain, [](plist_t) { return false; }, error);
  return nullptr;
}

PlistPtr DomainFiles::readLocked(const std::string& domain, std::string& error) const {
  const std::string path = pathOf(domain);
  std::string content;
  switch (readWhole(path, content)) {
    case ReadStatus::Missing:
      return PlistPtr(plist_new_dict());
    case ReadStatus::Failed:
      error = errnoText("reading", path, errno);
      return nullptr;
    case ReadStatus::Ok:
      break;
  }
  std::string why;
  if (PlistPtr root = parseDomain(content, why)) return root;
  moveAside(path, why);
  return PlistPtr(plist_new_dict());
}

void DomainFiles::moveAside(const std::string& path, const std::string& why) const {
  const std::string base = path + kCorruptInfix + utcStamp();
  std::string target = base;
  struct stat st {};
  for (int n = 1; ::lstat(target.c_str(), &st) == 0; ++n) target = base + "-" + std::to_string(n);
  if (::rename(path.c_str(), target.c_str()) != 0) {
    logLine(errnoText("moving aside", path, errno));
    return;
  }
  logLine(path + ": " + why + "; moved to " + target);
}

bool DomainFiles::update(const std::string& domain, const Edit& edit, std::string& error) const {
  if (!canNameFile(domain)) {
    error = "'" + domain + "' cannot name a domain file";
    return false;
  }
  if (!makeFolders(folder_, error)) return false;
  const std::string lockPath = folder_ + kLockFile;
  Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid()) {
    error = errnoText("opening", lockPath, errno);
    return false;
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      error = errnoText("locking", lockPath, errno);
      return false;
    }
  }
  // The lock goes with the descriptor, on every path.
  removeStaleTemporaries(folder_);

  PlistPtr root = readLocked(domain, error);
  if (!root) return false;
  if (!edit(root.get())) return true;

  // Never replace a readable file with one that would not read back.
  const std::string bytes = serializeChecked(root.get());
  if (bytes.empty()) {
    error = "writing " + pathOf(domain) + ": the property list could not be encoded";
    return false;
  }
  std::string temp = folder_ + "/" + kTempPrefix + "XXXXXX" + kTempSuffix;
  Fd out(::mkostemps(temp.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC));
  if (!out.valid()) {
    error = errnoText("creating", temp, errno);
    return false;
  }
  const std::string path = pathOf(domain);
  if (!writeAll(out.get(), bytes) || ::fsync(out.get()) != 0) {
    error = errnoText("writing", temp, errno);
    ::unlink(temp.c_str());
    return false;
  }
  out.reset();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = errnoText("replacing", path, errno);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself survives a crash once the folder is on disk.
  Fd folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) ::fsync(folder.get());
  return true;
}

}  // namespace vellumark::linux_platform::defaults
