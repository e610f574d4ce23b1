// Images of the GTK shell: a pixbuf loaded from the bundle's resources.
// Main-thread only.
#pragma once

#include <string>

#include "gtk_object.h"
#include "platform/app_shell.h"

namespace vellumark::linux_platform::gtk {

class GtkShellImage : public platform::Image {
 public:
  explicit GtkShellImage(GObjectPtr<GdkPixbuf> pixbuf) : pixbuf_(std::move(pixbuf)) {}
  GdkPixbuf* pixbuf() const { return pixbuf_.get(); }

  // Null (and a line on standard error) when the file is not a readable PNG.
  static GObjectPtr<GdkPixbuf> loadPng(const std::string& path);
  // `pixbuf` scaled proportionally to fit `frame`; null when either is empty.
  static GObjectPtr<GdkPixbuf> scaleToFit(GdkPixbuf* pixbuf, const platform::Rect& frame);

 private:
  GObjectPtr<GdkPixbuf> pixbuf_;
};

}  // namespace vellumark::linux_platform::gtk
