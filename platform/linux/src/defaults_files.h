// The folder of user-defaults domains: one binary property list per domain
// ("<domain>.plist"). Reads take no lock: a file is only ever replaced whole
// (a temporary file, fsync, rename), so a reader sees the old or the new
// one. Writes read, edit and replace a domain under an advisory lock on the
// folder's ".lock" file, so writers in several processes lose no update. A
// file that does not parse is moved aside as "<domain>.plist.corrupt-<UTC
// time>" and the domain reads as empty. Any thread.
#pragma once

#include <functional>
#include <string>

#include "defaults_plist.h"

namespace vellumark::linux_platform::defaults {

class DomainFiles {
 public:
  // No file access here: the folder is made on the first write.
  explicit DomainFiles(std::string folder) : folder_(std::move(folder)) {}

  // Whether `domain` can name a file of the folder: not empty, no "/", no
  // NUL, at most 200 bytes.
  static bool canNameFile(const std::string& domain);

  const std::string& folder() const { return folder_; }
  std::string pathOf(const std::string& domain) const { return folder_ + "/" + domain + ".plist"; }

  // The domain's root dictionary; null when it has no file (or an unreadable
  // one, then also logged).
  PlistPtr read(const std::string& domain) const;

  // Edits the domain's dictionary (an empty one when it has no file) under
  // the folder lock. `edit` returns whether it changed anything; only then
  // is the file replaced. False, with `error` set, when the domain could not
  // be read or written; the file is then as it was.
  using Edit = std::function<bool(plist_t dict)>;
  bool update(const std::string& domain, const Edit& edit, std::string& error) const;

 private:
  // Under the lock: the current dictionary, moving a corrupt file aside.
  PlistPtr readLocked(const std::string& domain, std::string& error) const;
  void moveAside(const std::string& path, const std::string& why) const;

  std::string folder_;
};

}  // namespace vellumark::linux_platform::defaults
