// URLs on Linux: GLib's URI parser, and the desktop's workspace through
// GIO's default handlers (.desktop files; a file: URL by its file's content
// type, any other by its scheme's x-scheme-handler type).
#pragma once

#include <memory>

#include "platform/url_parser.h"
#include "platform/workspace.h"

namespace vellumark::linux_platform {

std::shared_ptr<platform::UrlParser> createUrlParser();
// Main-thread only; nothing is looked up until the first call.
std::shared_ptr<platform::Workspace> createWorkspace();

}  // namespace vellumark::linux_platform
