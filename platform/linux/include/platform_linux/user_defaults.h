// The user-defaults store on Linux: one binary property list per domain in a
// folder of the user's configuration (libplist). Making it touches no file.
#pragma once

#include <memory>
#include <string>

#include "platform/user_defaults.h"

namespace vellumark::linux_platform {

// "$XDG_CONFIG_HOME/vellumark", else "$HOME/.config/vellumark".
std::string defaultUserDefaultsFolder();

// The store in `folder`. `applicationDomain` names the application's own
// domain (its bundle identifier). Refused suite names: "NSGlobalDomain",
// ".GlobalPreferences", the empty name, and names that cannot name a file
// (holding "/" or NUL, longer than 200 bytes).
std::shared_ptr<platform::UserDefaults> makeUserDefaults(std::string folder,
                                                         std::string applicationDomain);

}  // namespace vellumark::linux_platform
