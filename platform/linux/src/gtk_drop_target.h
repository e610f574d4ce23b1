// A widget as a drop destination: file URLs come as text/uri-list, legacy
// file names as plain text (one absolute path a line), file promises as the
// X Direct Save protocol (XdndDirectSave0). Main-thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gtk_object.h"

namespace vellumark::platform {
class DraggingDestination;
}  // namespace vellumark::platform

namespace vellumark::linux_platform::gtk {

class GtkDropTarget {
 public:
  // Makes `widget` take drags offering the targets of `types` and tells
  // `destination` about them.
  GtkDropTarget(GtkWidget* widget, const std::vector<std::string>& types,
                std::shared_ptr<platform::DraggingDestination> destination);
  // A promised file still awaited is reported as failed.
  ~GtkDropTarget();
  GtkDropTarget(const GtkDropTarget&) = delete;
  GtkDropTarget& operator=(const GtkDropTarget&) = delete;

  struct Session;

 private:
  static gboolean onMotion(GtkWidget* widget, GdkDragContext* context, gint x, gint y, guint time,
                           gpointer data);
  static void onLeave(GtkWidget* widget, GdkDragContext* context, guint time, gpointer data);
  static gboolean onDrop(GtkWidget* widget, GdkDragContext* context, gint x, gint y, guint time,
                         gpointer data);
  static void onDataReceived(GtkWidget* widget, GdkDragContext* context, gint x, gint y,
                             GtkSelectionData* selection, guint info, guint time, gpointer data);
  static gboolean onExitIdle(gpointer data);

  void sendExited();
  void collect(const std::shared_ptr<Session>& session);

  GObjectPtr<GtkWidget> widget_;
  std::shared_ptr<platform::DraggingDestination> destination_;
  bool takesUris_ = false;
  bool takesText_ = false;
  bool takesPromises_ = false;
  std::vector<SignalConnection> signals_;
  // The drag the destination was told has entered.
  GObjectPtr<GdkDragContext> current_;
  // GTK reports a leave right before every drop: the exit is told once the
  // main loop is idle, unless a drop came meanwhile.
  SourceId pendingExit_;
  std::shared_ptr<Session> session_;
};

}  // namespace vellumark::linux_platform::gtk
