#include "gtk_shell_image.h"

#include <algorithm>
#include <cmath>

namespace vellumark::linux_platform::gtk {

// The PNG loader is named up front: guessing the type by content would load
// the shared MIME database at start-up.
GObjectPtr<GdkPixbuf> GtkShellImage::loadPng(const std::string& path) {
  gchar* rawData = nullptr;
  gsize length = 0;
  GError* raw = nullptr;
  if (!g_file_get_contents(path.c_str(), &rawData, &length, &raw)) {
    GErrorPtr error(raw);
    logShell(describe("g_file_get_contents", error.get()));
    return nullptr;
  }
  GCharPtr data(rawData);
  auto loader = adopt(gdk_pixbuf_loader_new_with_type("png", &raw));
  if (!loader) {
    GErrorPtr error(raw);
    logShell(describe("gdk_pixbuf_loader_new_with_type", error.get()));
    return nullptr;
  }
  const bool written = gdk_pixbuf_loader_write(
      loader.get(), reinterpret_cast<const guchar*>(data.get()), length, &raw);
  if (!written) {
    GErrorPtr error(raw);
    logShell(describe("gdk_pixbuf_loader_write", error.get()));
    gdk_pixbuf_loader_close(loader.get(), nullptr);
    return nullptr;
  }
  if (!gdk_pixbuf_loader_close(loader.get(), &raw)) {
    GErrorPtr error(raw);
    logShell(describe("gdk_pixbuf_loader_close", error.get()));
    return nullptr;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (pixbuf == nullptr) return nullptr;
  return GObjectPtr<GdkPixbuf>(GDK_PIXBUF(g_object_ref(pixbuf)));
}

GObjectPtr<GdkPixbuf> GtkShellImage::scaleToFit(GdkPixbuf* pixbuf, const platform::Rect& frame) {
  const double w = gdk_pixbuf_get_width(pixbuf);
  const double h = gdk_pixbuf_get_height(pixbuf);
  if (w <= 0 || h <= 0 || frame.width <= 0 || frame.height <= 0) return nullptr;
  const double scale = std::min(frame.width / w, frame.height / h);
  const int sw = std::max(1, static_cast<int>(std::lround(w * scale)));
  const int sh = std::max(1, static_cast<int>(std::lround(h * scale)));
  return adopt(gdk_pixbuf_scale_simple(pixbuf, sw, sh, GDK_INTERP_BILINEAR));
}

}  // namespace vellumark::linux_platform::gtk
