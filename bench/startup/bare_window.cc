// The baseline of the start-up benchmark: a bare GTK window as the host's
// main window is placed (same size, centred), without the application's
// D-Bus name, menu or views. Prints "mapped" to
// standard error once the window is mapped, then runs until killed.
#include <gtk/gtk.h>

#include <cstdio>

namespace {

constexpr int kWidth = 1024;
constexpr int kHeight = 720;

gboolean onMapped(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer /*data*/) {
  std::fputs("mapped\n", stderr);
  std::fflush(stderr);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
