// A scriptable workspace, URL parser and incoming-link source.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/incoming_links.h"
#include "platform/url_parser.h"
#include "platform/workspace.h"

namespace vellumark::platform::fakes {

// Accepts a text that begins with a scheme (a letter, then letters, digits,
// "+", "-" or ".", then ":") and holds no space, unless listed in `rejected`.
class FakeUrlParser : public UrlParser {
 public:
  bool isValidURL(const std::string& text) const override;
  std::set<std::string> rejected;
};

class FakeWorkspace : public Workspace {
 public:
  bool openURL(const std::string& url) override;
  std::optional<std::string> urlForApplicationToOpenURL(const std::string& url) override;

  // The application for a URL, by its scheme (the text before the first ":").
  std::map<std::string, std::string> applications;
  bool openResult = true;
  std::vector<std::string> opened;
  std::vector<std::string> lookedUp;
};

class FakeIncomingLinks : public IncomingLinks {
 public:
  void setGetURLHandler(Handler handler) override {
    handler_ = std::move(handler);
    ++installs;
  }
  // The system sends a request; false when no handler took it.
  bool deliver(const std::string& url) {
    if (!handler_) return false;
    handler_(url);
    return true;
  }
  bool installed() const { return static_cast<bool>(handler_); }
  int installs = 0;

 private:
  Handler handler_;
};

}  // namespace vellumark::platform::fakes
