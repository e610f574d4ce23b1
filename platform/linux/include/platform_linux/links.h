// The open-link requests of the Linux application: GApplication's "open"
// (the launching instance's arguments, or a second launch forwarding its
// arguments over D-Bus to the running one) hands each URL to the installed
// get-URL handler. Main-thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/incoming_links.h"

namespace vellumark::linux_platform {

class LinkEvents : public platform::IncomingLinks {
 public:
  void setGetURLHandler(Handler handler) override { handler_ = std::move(handler); }

  // Hands `url` to the installed handler; false, leaving it to the
  // application delegate, when none is installed or `url` names a file (a
  // document to open, not a link).
  bool dispatchGetURL(const std::string& url) const;

 private:
  Handler handler_;
};

std::shared_ptr<LinkEvents> createLinkEvents();

}  // namespace vellumark::linux_platform
