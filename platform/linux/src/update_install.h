// Installing an update: the staging folder beside the bundle, unpacking the
// archive into it (libarchive), checking what it holds, and swapping it in
// for the bundle. Blocking file work: worker threads, except swapBundles.
#pragma once

#include <string>

#include "platform/bundle.h"

namespace vellumark::linux_platform::update {

// The string value of `key` in the bundle's information dictionary, or
// empty when the bundle is null or the value is absent or not a string.
std::string infoString(const platform::Bundle* bundle, const char* key);

// Makes a private folder beside `bundlePath` (".<name>.update-XXXXXX");
// empty with `error` set when it cannot.
std::string makeStagingFolder(const std::string& bundlePath, std::string* error);

// Unpacks the archive at `archive` into the existing folder `into`. Entries
// that would land outside it (absolute paths, "..", links leading out) and
// anything but files, folders and symbolic links are refused.
bool unpackArchive(const std::string& archive, const std::string& into, std::string* error);

// What the unpacked archive must be: a bundle of the same application.
struct BundleExpectation {
  std::string identifier;      // CFBundleIdentifier of the running bundle
  std::string executable;      // bin/<executable> must exist and be executable
  std::string currentVersion;  // the new CFBundleVersion must be newer
};

// The bundle inside `unpacked` (the folder itself, or its only folder), or
// empty with `error` set when none matches `expected`.
std::string findNewBundle(const std::string& unpacked, const BundleExpectation& expected,
                          std::string* error);

// Exchanges `newBundle` and `bundlePath` in one step where the file system
// allows it (renameat2 RENAME_EXCHANGE), else by two renames that are undone
// on failure. Afterwards the old bundle is at `newBundle`. On failure
// nothing has moved.
bool swapBundles(const std::string& bundlePath, const std::string& newBundle, std::string* error);

// Removes a folder tree; best effort.
void removeTree(const std::string& path);

}  // namespace vellumark::linux_platform::update
