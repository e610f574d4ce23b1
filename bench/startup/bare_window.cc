// The baseline: a bare GTK window of the main window's size. Prints "mapped"
// to standard error when the window is mapped, then runs until killed.
#include <gtk/gtk.h>

#include <cstdio>

namespace {

gboolean onMapped(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer /*data*/) {
  std::fputs("mapped\n", stderr);
  std::fflush(stderr);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1024, 720);
  g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
