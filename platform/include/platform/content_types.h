// Content types: what kind of data a file holds, as the system registers
// them for filename extensions. Main-thread only.
#pragma once

#include <optional>
#include <string>

namespace vellumark::platform {

struct ContentType {
  // The system's name of the type ("application/pdf" on Linux).
  std::string identifier;
  bool operator==(const ContentType&) const = default;
};

class ContentTypes {
 public:
  virtual ~ContentTypes() = default;
  // The type registered for files named with `extension` (without the dot)
  // that conforms to generic data; nullopt when none is registered.
  virtual std::optional<ContentType> typeForFilenameExtension(const std::string& extension) = 0;
};

}  // namespace vellumark::platform
