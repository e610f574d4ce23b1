#include <glib.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "gtk_object.h"
#include "platform_linux/links.h"

namespace vellumark::linux_platform {

namespace {

constexpr char kFileScheme[] = "file";

}  // namespace

bool LinkEvents::dispatchGetURL(const std::string& url) const {
  if (!handler_) return false;
  gtk::GCharPtr scheme(g_uri_parse_scheme(url.c_str()));
  if (scheme && g_ascii_strcasecmp(scheme.get(), kFileScheme) == 0) return false;
  // A copy: the handler may replace itself while it runs.
  Handler handler = handler_;
  try {
    handler(url);
  } catch (const std::exception& e) {
    // Called from a GLib signal: nothing may escape.
    std::fprintf(stderr, "vellumark: open-link handler failed: %s\n", e.what());
  }
  return true;
}

std::shared_ptr<LinkEvents> createLinkEvents() { return std::make_shared<LinkEvents>(); }

}  // namespace vellumark::linux_platform
