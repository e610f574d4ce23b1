#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "gtk_object.h"
#include "platform_linux/workspace.h"

namespace vellumark::linux_platform {
namespace {

constexpr char kFileScheme[] = "file";
constexpr char kSchemeHandlerType[] = "x-scheme-handler/";

using gtk::GCharPtr;
using gtk::GErrorPtr;
using gtk::GObjectPtr;

void logFailure(const char* call, const std::string& url, const GError* error) {
  std::fprintf(stderr, "vellumark: %s %s: %s\n", call, url.c_str(),
               error != nullptr ? error->message : "failed");
}

class GlibUrlParser : public platform::UrlParser {
 public:
  bool isValidURL(const std::string& text) const override {
    // Embedded zero bytes would end the text early for GLib.
    if (text.find('\0') != std::string::npos) return false;
    return g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr) != FALSE;
  }
};

class GioWorkspace : public platform::Workspace {
 public:
  bool openURL(const std::string& url) override {
    if (url.find('\0') != std::string::npos) return false;
    GError* raw = nullptr;
    const gboolean launched = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &raw);
    GErrorPtr error(raw);
    if (!launched) logFailure("g_app_info_launch_default_for_uri", url, error.get());
    return launched != FALSE;
  }

  std::optional<std::string> urlForApplicationToOpenURL(const std::string& url) override {
    if (url.find('\0') != std::string::npos) return std::nullopt;
    GObjectPtr<GAppInfo> app = applicationFor(url);
    if (!app) return std::nullopt;
    if (G_IS_DESKTOP_APP_INFO(app.get())) {
      if (const char* file = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(app.get()))) {
        return std::string(file);
      }
    }
    const char* executable = g_app_info_get_executable(app.get());
    return std::string(executable != nullptr ? executable : g_app_info_get_id(app.get()));
  }

 private:
  static GObjectPtr<GAppInfo> applicationFor(const std::string& url) {
    GCharPtr scheme(g_uri_parse_scheme(url.c_str()));
    if (!scheme) return nullptr;
    if (g_ascii_strcasecmp(scheme.get(), kFileScheme) == 0) {
      // By the file's content type; a file that is not there has none.
      GObjectPtr<GFile> file(g_file_new_for_uri(url.c_str()));
      GError* raw = nullptr;
      GObjectPtr<GAppInfo> app(g_file_query_default_handler(file.get(), nullptr, &raw));
      GErrorPtr error(raw);
      return app;
    }
    GCharPtr lower(g_ascii_strdown(scheme.get(), -1));
    const std::string type = std::string(kSchemeHandlerType) + lower.get();
    return GObjectPtr<GAppInfo>(g_app_info_get_default_for_type(type.c_str(), FALSE));
  }
};

}  // namespace

std::shared_ptr<platform::UrlParser> createUrlParser() { return std::make_shared<GlibUrlParser>(); }

std::shared_ptr<platform::Workspace> createWorkspace() { return std::make_shared<GioWorkspace>(); }

}  // namespace vellumark::linux_platform
