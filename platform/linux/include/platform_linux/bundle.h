// The application bundle on Linux: a folder holding Info.plist, Resources/
// and bin/<executable>.
#pragma once

#include <memory>
#include <string>

#include "platform/bundle.h"

namespace vellumark::linux_platform {

// Opens the bundle at `path`, reading `path`/Info.plist once (XML or binary).
// A missing or malformed Info.plist leaves the information dictionary empty
// and, when `error` is given, says why there.
std::shared_ptr<platform::Bundle> openBundle(const std::string& path, std::string* error = nullptr);

// The bundle of `executablePath`: the parent of the folder holding it.
std::string bundlePathForExecutable(const std::string& executablePath);

// The bundle of the running executable (/proc/self/exe).
std::shared_ptr<platform::Bundle> openMainBundle(std::string* error = nullptr);

}  // namespace vellumark::linux_platform
