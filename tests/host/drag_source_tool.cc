// A small GTK drag source for the whole-host tests: a window whose whole
// area starts a drag of the files named on the command line, as
// text/uri-list (and their paths as plain text with --text), or, with
// --promise NAME CONTENT, one file promised through X Direct Save.
//
//   drag_source [--at X Y] [--text] [--promise NAME CONTENT] [FILE...]
//
// Prints "ready" once its window is on screen, "saved PATH" when it wrote a
// promised file, "end" when a drag ended.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kDirectSave[] = "XdndDirectSave0";

struct Source {
  std::vector<std::string> files;
  bool text = false;
  std::string promiseName;
  std::string promiseContent;
};

GdkAtom atom(const char* name) { return gdk_atom_intern_static_string(name); }

void onBegin(GtkWidget* /*widget*/, GdkDragContext* context, gpointer data) {
  auto* source = static_cast<Source*>(data);
  if (source->promiseName.empty()) return;
  gdk_property_change(gdk_drag_context_get_source_window(context), atom(kDirectSave),
                      atom("text/plain"), 8, GDK_PROP_MODE_REPLACE,
                      reinterpret_cast<const guchar*>(source->promiseName.c_str()),
                      static_cast<gint>(source->promiseName.size()));
}

void onGet(GtkWidget* /*widget*/, GdkDragContext* context, GtkSelectionData* selection,
           guint /*info*/, guint /*time*/, gpointer data) {
  auto* source = static_cast<Source*>(data);
  const GdkAtom target = gtk_selection_data_get_target(selection);
  if (target == atom(kDirectSave)) {
    guchar* uri = nullptr;
    gint length = 0;
    GdkAtom type = GDK_NONE;
    gint format = 0;
    gdk_property_get(gdk_drag_context_get_source_window(context), atom(kDirectSave),
                     atom("text/plain"), 0, 4096, FALSE, &type, &format, &length, &uri);
    std::string where(reinterpret_cast<const char*>(uri),
                      uri != nullptr ? static_cast<size_t>(length) : 0);
    g_free(uri);
    gchar* path = g_filename_from_uri(where.c_str(), nullptr, nullptr);
    const bool saved =
        path != nullptr &&
        g_file_set_contents(path, source->promiseContent.c_str(),
                            static_cast<gssize>(source->promiseContent.size()), nullptr);
    if (saved) std::printf("saved %s\n", path);
    std::fflush(stdout);
    g_free(path);
    const guchar answer = saved ? 'S' : 'E';
    gtk_selection_data_set(selection, atom("text/plain"), 8, &answer, 1);
    return;
  }
  std::vector<gchar*> uris;
  std::string lines;
  for (const auto& file : source->files) {
    uris.push_back(g_filename_to_uri(file.c_str(), nullptr, nullptr));
    lines += file + "\n";
  }
  uris.push_back(nullptr);
  if (target == atom("text/uri-list")) {
    gtk_selection_data_set_uris(selection, uris.data());
  } else {
    gtk_selection_data_set_text(selection, lines.c_str(), -1);
  }
  for (gchar* uri : uris) g_free(uri);
}

void onEnd(GtkWidget* /*widget*/, GdkDragContext* /*context*/, gpointer /*data*/) {
  std::printf("end\n");
  std::fflush(stdout);
}

gboolean onMapped(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer /*data*/) {
  std::printf("ready\n");
  std::fflush(stdout);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  Source source;
  int x = 0;
  int y = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--at") == 0 && i + 2 < argc) {
      x = std::atoi(argv[++i]);
      y = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--text") == 0) {
      source.text = true;
    } else if (std::strcmp(argv[i], "--promise") == 0 && i + 2 < argc) {
      source.promiseName = argv[++i];
      source.promiseContent = argv[++i];
    } else {
      source.files.emplace_back(argv[i]);
    }
  }

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Vellumark Drag Source");
  gtk_window_set_default_size(GTK_WINDOW(window), 120, 120);
  gtk_window_move(GTK_WINDOW(window), x, y);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  GtkWidget* area = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(window), area);

  GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
  if (!source.promiseName.empty()) {
    gtk_target_list_add(targets, atom(kDirectSave), 0, 0);
  } else {
    gtk_target_list_add_uri_targets(targets, 0);
    if (source.text) gtk_target_list_add(targets, atom("text/plain"), 0, 0);
  }
  gtk_drag_source_set(area, GDK_BUTTON1_MASK, nullptr, 0, GDK_ACTION_COPY);
  gtk_drag_source_set_target_list(area, targets);
  gtk_target_list_unref(targets);
  g_signal_connect(area, "drag-begin", G_CALLBACK(onBegin), &source);
  g_signal_connect(area, "drag-data-get", G_CALLBACK(onGet), &source);
  g_signal_connect(area, "drag-end", G_CALLBACK(onEnd), &source);
  g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);

  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
