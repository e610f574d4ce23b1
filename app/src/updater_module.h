// The update framework lives in a module of the bundle
// (lib/vellumark_updater.so) loaded on the updater's first "setConfig": it
// pulls in libcurl, libxml2, libarchive and OpenSSL, which most runs never
// need at start-up.
#pragma once

#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/task_queue.h"
#include "platform/updater.h"

namespace vellumark {

inline constexpr char kUpdaterModuleFile[] = "lib/vellumark_updater.so";
// Versioned: a module built for another entry signature is refused, not called.
inline constexpr char kUpdaterModuleEntry[] = "vellumark_create_update_framework_1";

struct UpdaterModuleOptions {
  std::shared_ptr<platform::Bundle> bundle;
  std::shared_ptr<platform::TaskQueue> mainQueue;
};

// The module's entry: fills `out` with the framework, or leaves it null.
using UpdaterModuleEntry = void (*)(const UpdaterModuleOptions& options,
                                    std::shared_ptr<platform::UpdateFramework>* out);

// Loads the module at `path` (kept loaded for the process's life) and makes
// its framework; null with `error` set when that fails.
std::shared_ptr<platform::UpdateFramework> loadUpdaterModule(const std::string& path,
                                                             const UpdaterModuleOptions& options,
                                                             std::string* error);

}  // namespace vellumark
