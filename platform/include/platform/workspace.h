// The desktop's workspace: which application opens a URL, and opening URLs
// in it. Main-thread only; each call answers synchronously.
#pragma once

#include <optional>
#include <string>

namespace vellumark::platform {

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Asks the system to open `url` in the application it assigns to it; true
  // when the system accepted the request.
  virtual bool openURL(const std::string& url) = 0;
  // The location of the application that would open `url`, or nullopt when
  // none would.
  virtual std::optional<std::string> urlForApplicationToOpenURL(const std::string& url) = 0;
};

}  // namespace vellumark::platform
