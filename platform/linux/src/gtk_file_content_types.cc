#include <gio/gio.h>

#include "gtk_object.h"
#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {

namespace {

// What GIO answers for a name it knows nothing about.
constexpr char kGenericData[] = "application/octet-stream";

class GioContentTypes : public platform::ContentTypes {
 public:
  std::optional<platform::ContentType> typeForFilenameExtension(
      const std::string& extension) override {
    if (extension.empty() || extension.find('/') != std::string::npos ||
        extension.find('\0') != std::string::npos) {
      return std::nullopt;
    }
    const std::string name = "file." + extension;
    gboolean uncertain = FALSE;
    gtk::GCharPtr type(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
    if (!type || g_content_type_is_unknown(type.get()) ||
        g_content_type_equals(type.get(), kGenericData) ||
        !g_content_type_is_a(type.get(), kGenericData)) {
      return std::nullopt;
    }
    gtk::GCharPtr mime(g_content_type_get_mime_type(type.get()));
    return platform::ContentType{mime ? mime.get() : type.get()};
  }
};

}  // namespace

std::shared_ptr<platform::ContentTypes> createContentTypes() {
  return std::make_shared<GioContentTypes>();
}

}  // namespace vellumark::linux_platform
