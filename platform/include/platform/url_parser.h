// The system's URL parser, shared by everything that must decide whether a
// text is a URL before handing it on.
#pragma once

#include <string>

namespace vellumark::platform {

class UrlParser {
 public:
  virtual ~UrlParser() = default;
  // Whether `text` parses as an absolute URL.
  virtual bool isValidURL(const std::string& text) const = 0;
};

}  // namespace vellumark::platform
