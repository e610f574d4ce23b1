#include "gtk_drop_target.h"

#include <fcntl.h>
#include <gdk/gdkx.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/drag_drop.h"

namespace vellumark::linux_platform::gtk {

namespace {

constexpr char kUriList[] = "text/uri-list";
constexpr char kTextUtf8[] = "text/plain;charset=utf-8";
constexpr char kUtf8String[] = "UTF8_STRING";
constexpr char kTextPlain[] = "text/plain";
// X Direct Save: the source window's property names the file; the drop
// sets it to the URI to save to and asks for this target; the answer is
// "S" (saved), "F" (failed: send the data instead) or "E" (error).
constexpr char kDirectSave[] = "XdndDirectSave0";
constexpr char kOctetStream[] = "application/octet-stream";
constexpr gulong kMaxNameLength = 1024;

constexpr char kErrorViewGone[] = "the view was closed before the file arrived";
constexpr char kErrorNoSource[] = "the drag source window is gone";
constexpr char kErrorBadName[] = "the drag source proposed an unusable file name";
constexpr char kErrorNotSaved[] = "the drag source did not save the file";
constexpr char kErrorMissing[] = "the drag source reported the file saved, but it is not there";

GdkAtom atom(const char* name) { return gdk_atom_intern_static_string(name); }

bool offers(GdkDragContext* context, GdkAtom target) {
  for (GList* it = gdk_drag_context_list_targets(context); it != nullptr; it = it->next) {
    if (GDK_POINTER_TO_ATOM(it->data) == target) return true;
  }
  return false;
}

// The pointer in the toplevel's coordinates, origin at its bottom left.
platform::Point windowLocation(GtkWidget* widget, gint x, gint y) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(widget);
  gint wx = x;
  gint wy = y;
  if (toplevel != widget) gtk_widget_translate_coordinates(widget, toplevel, x, y, &wx, &wy);
  const int height = gtk_widget_get_allocated_height(toplevel);
  return {static_cast<double>(wx), static_cast<double>(height - wy)};
}

std::string canonical(const char* path) {
  GCharPtr clean(g_canonicalize_filename(path, nullptr));
  return clean.get();
}

// File URIs as paths; other URIs are not files and are left out.
std::vector<std::string> readUris(GtkSelectionData* selection) {
  std::vector<std::string> paths;
  gchar** uris = gtk_selection_data_get_uris(selection);
  if (uris == nullptr) return paths;
  for (gchar** uri = uris; *uri != nullptr; ++uri) {
    GCharPtr path(g_filename_from_uri(*uri, nullptr, nullptr));
    if (path) paths.push_back(canonical(path.get()));
  }
  g_strfreev(uris);
  return paths;
}

// One absolute path a line, or nothing: text that is not all paths names no
// files.
std::vector<std::string> readNames(GtkSelectionData* selection) {
  std::vector<std::string> paths;
  GCharPtr text(reinterpret_cast<gchar*>(gtk_selection_data_get_text(selection)));
  if (!text) return paths;
  gchar** lines = g_strsplit(text.get(), "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    g_strchomp(*line);  // "\r\n" line ends too
    if (**line == '\0') continue;
    if (!g_path_is_absolute(*line)) {
      paths.clear();
      break;
    }
    paths.push_back(canonical(*line));
  }
  g_strfreev(lines);
  return paths;
}

// The file name the source proposes, from its window's property. X errors
// (a source window already gone) are trapped, not fatal.
std::optional<std::string> proposedName(GdkDragContext* context) {
  GdkWindow* source = gdk_drag_context_get_source_window(context);
  if (source == nullptr) return std::nullopt;
  GdkDisplay* display = gdk_window_get_display(source);
  const bool x11 = GDK_IS_X11_DISPLAY(display);
  if (x11) gdk_x11_display_error_trap_push(display);
  GdkAtom type = GDK_NONE;
  gint format = 0;
  gint length = 0;
  guchar* data = nullptr;
  const gboolean found = gdk_property_get(source, atom(kDirectSave), atom(kTextPlain), 0,
                                          kMaxNameLength, FALSE, &type, &format, &length, &data);
  if (x11) gdk_x11_display_error_trap_pop_ignored(display);
  GCharPtr owned(reinterpret_cast<gchar*>(data));
  if (!found || data == nullptr || format != 8 || length <= 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
}

// A plain file name: no folders, nothing that climbs out of the drop folder.
bool usableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

class MotionInfo : public platform::DraggingInfo, private platform::DraggingPasteboard {
 public:
  explicit MotionInfo(platform::Point location) : location_(location) {}
  platform::Point draggingLocation() const override { return location_; }
  platform::DraggingPasteboard& draggingPasteboard() override { return *this; }

 private:
  std::vector<std::string> fileURLs() const override { return {}; }
  std::vector<std::string> filenames() const override { return {}; }
  std::vector<std::shared_ptr<platform::FilePromiseReceiver>> filePromiseReceivers()
      const override {
    return {};
  }
  platform::Point location_;
};

}  // namespace

// One drop, from the drop until the drag is finished: the data asked for,
// then the promised file awaited.
struct GtkDropTarget::Session {
  GObjectPtr<GtkWidget> widget;
  GObjectPtr<GdkDragContext> context;
  guint time = 0;
  platform::Point location;
  int awaiting = 0;
  std::vector<std::string> urls;
  std::vector<std::string> names;
  std::optional<std::string> promisedName;
  // Set once the promise is asked for.
  bool delivering = false;
  bool finished = false;
  std::string path;
  std::shared_ptr<platform::TaskQueue> queue;
  platform::FilePromiseReceiver::Reader reader;

  // Hands the file's outcome to the reader on its queue and ends the drag.
  void deliver(const std::optional<std::string>& error) {
    if (reader && queue) {
      queue->post([reader = std::move(reader), file = error ? std::string() : path, error] {
        reader(file, error);
      });
    }
    reader = nullptr;
    queue.reset();
    finish(!error);
  }

  void finish(bool success) {
    if (finished) return;
    finished = true;
    gtk_drag_finish(context.get(), success ? TRUE : FALSE, FALSE, time);
  }
};

namespace {

class DirectSaveReceiver : public platform::FilePromiseReceiver {
 public:
  DirectSaveReceiver(std::weak_ptr<GtkDropTarget::Session> session, std::string name)
      : session_(std::move(session)), name_(std::move(name)) {}

  std::vector<std::string> fileNames() const override { return {name_}; }

  void receivePromisedFiles(const std::string& destination,
                            std::shared_ptr<platform::TaskQueue> queue, Reader reader) override {
    auto session = session_.lock();
    auto fail = [&](const char* why) {
      queue->post([reader, why] { reader(std::string(), std::string(why)); });
    };
    if (!session || session->finished || session->delivering) return fail(kErrorViewGone);
    if (!usableName(name_)) return fail(kErrorBadName);
    GdkWindow* source = gdk_drag_context_get_source_window(session->context.get());
    if (source == nullptr) return fail(kErrorNoSource);
    session->path = destination + "/" + name_;
    GCharPtr uri(g_filename_to_uri(session->path.c_str(), nullptr, nullptr));
    if (!uri) return fail(kErrorBadName);

    session->delivering = true;
    session->queue = std::move(queue);
    session->reader = std::move(reader);
    GdkDisplay* display = gdk_window_get_display(source);
    const bool x11 = GDK_IS_X11_DISPLAY(display);
    if (x11) gdk_x11_display_error_trap_push(display);
    gdk_property_change(source, atom(kDirectSave), atom(kTextPlain), 8, GDK_PROP_MODE_REPLACE,
                        reinterpret_cast<const guchar*>(uri.get()),
                        static_cast<gint>(std::strlen(uri.get())));
    if (x11) gdk_x11_display_error_trap_pop_ignored(display);
    gtk_drag_get_data(session->widget.get(), session->context.get(), atom(kDirectSave),
                      session->time);
  }

 private:
  std::weak_ptr<GtkDropTarget::Session> session_;
  std::string name_;
};

class DropInfo : public platform::DraggingInfo, private platform::DraggingPasteboard {
 public:
  DropInfo(const GtkDropTarget::Session& session,
           std::shared_ptr<platform::FilePromiseReceiver> receiver)
      : session_(session), receiver_(std::move(receiver)) {}
  platform::Point draggingLocation() const override { return session_.location; }
  platform::DraggingPasteboard& draggingPasteboard() override { return *this; }

 private:
  std::vector<std::string> fileURLs() const override { return session_.urls; }
  std::vector<std::string> filenames() const override { return session_.names; }
  std::vector<std::shared_ptr<platform::FilePromiseReceiver>> filePromiseReceivers()
      const override {
    if (!receiver_) return {};
    return {receiver_};
  }
  const GtkDropTarget::Session& session_;
  std::shared_ptr<platform::FilePromiseReceiver> receiver_;
};

// Writes the bytes the source sent in place of saving the file itself.
// Work queue.
std::optional<std::string> writeNewFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return "open " + path + ": " + std::strerror(errno);
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      return "write " + path + ": " + std::strerror(err);
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return "close " + path + ": " + std::strerror(errno);
  return std::nullopt;
}

}  // namespace

GtkDropTarget::GtkDropTarget(GtkWidget* widget, const std::vector<std::string>& types,
                             std::shared_ptr<platform::DraggingDestination> destination)
    : widget_(retain(widget)), destination_(std::move(destination)) {
  GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
  for (const std::string& type : types) {
    if (type == platform::pasteboard_type::kFilePromise && !takesPromises_) {
      takesPromises_ = true;
      gtk_target_list_add(targets, atom(kDirectSave), GTK_TARGET_OTHER_APP, 0);
    } else if (type == platform::pasteboard_type::kFileURL && !takesUris_) {
      takesUris_ = true;
      gtk_target_list_add(targets, atom(kUriList), 0, 0);
    } else if (type == platform::pasteboard_type::kFilenames && !takesText_) {
      takesText_ = true;
      for (const char* text : {kTextUtf8, kUtf8String, kTextPlain}) {
        gtk_target_list_add(targets, atom(text), 0, 0);
      }
    }
  }
  // Motion, drop and data are all handled here, nothing by GTK's defaults.
  gtk_drag_dest_set(widget, GtkDestDefaults(0), nullptr, 0, GDK_ACTION_COPY);
  gtk_drag_dest_set_target_list(widget, targets);
  gtk_target_list_unref(targets);
  signals_.emplace_back(widget, "drag-motion", G_CALLBACK(&GtkDropTarget::onMotion), this);
  signals_.emplace_back(widget, "drag-leave", G_CALLBACK(&GtkDropTarget::onLeave), this);
  signals_.emplace_back(widget, "drag-drop", G_CALLBACK(&GtkDropTarget::onDrop), this);
  signals_.emplace_back(widget, "drag-data-received", G_CALLBACK(&GtkDropTarget::onDataReceived),
                        this);
}

GtkDropTarget::~GtkDropTarget() {
  signals_.clear();
  pendingExit_.remove();
  if (session_ && !session_->finished) {
    if (session_->delivering) {
      session_->deliver(std::string(kErrorViewGone));
    } else {
      session_->finish(false);
    }
  }
  gtk_drag_dest_unset(widget_.get());
}

gboolean GtkDropTarget::onMotion(GtkWidget* widget, GdkDragContext* context, gint x, gint y,
                                 guint time, gpointer data) {
  auto* self = static_cast<GtkDropTarget*>(data);
  if (gtk_drag_dest_find_target(widget, context, nullptr) == GDK_NONE) {
    gdk_drag_status(context, GdkDragAction(0), time);
    return FALSE;
  }
  // Left and came back before the exit was told: tell it now.
  if (self->pendingExit_.active()) {
    self->pendingExit_.remove();
    self->sendExited();
  }
  MotionInfo info(windowLocation(widget, x, y));
  platform::DragOperation operation;
  if (self->current_.get() != context) {
    self->current_.reset(GDK_DRAG_CONTEXT(g_object_ref(context)));
    operation = self->destination_->draggingEntered(info);
  } else {
    operation = self->destination_->draggingUpdated(info);
  }
  gdk_drag_status(context,
                  operation == platform::DragOperation::Copy ? GDK_ACTION_COPY : GdkDragAction(0),
                  time);
  return TRUE;
}

void GtkDropTarget::onLeave(GtkWidget* /*widget*/, GdkDragContext* context, guint /*time*/,
                            gpointer data) {
  auto* self = static_cast<GtkDropTarget*>(data);
  if (self->current_.get() != context || self->pendingExit_.active()) return;
  self->pendingExit_ = SourceId(g_idle_add(&GtkDropTarget::onExitIdle, self));
}

gboolean GtkDropTarget::onExitIdle(gpointer data) {
  auto* self = static_cast<GtkDropTarget*>(data);
  self->pendingExit_.finished();
  self->sendExited();
  return G_SOURCE_REMOVE;
}

void GtkDropTarget::sendExited() {
  if (!current_) return;
  current_.reset();
  destination_->draggingExited();
}

gboolean GtkDropTarget::onDrop(GtkWidget* widget, GdkDragContext* context, gint x, gint y,
                               guint time, gpointer data) {
  auto* self = static_cast<GtkDropTarget*>(data);
  self->pendingExit_.remove();
  self->current_.reset();
  if (gtk_drag_dest_find_target(widget, context, nullptr) == GDK_NONE) return FALSE;

  // A drop still waiting for its data when the next one comes: give it up.
  if (self->session_ && !self->session_->finished) {
    if (self->session_->delivering) {
      self->session_->deliver(std::string(kErrorNotSaved));
    } else {
      self->session_->finish(false);
    }
  }
  auto session = std::make_shared<Session>();
  session->widget = retain(widget);
  session->context.reset(GDK_DRAG_CONTEXT(g_object_ref(context)));
  session->time = time;
  session->location = windowLocation(widget, x, y);
  self->session_ = session;

  std::vector<GdkAtom> requests;
  if (self->takesUris_ && offers(context, atom(kUriList))) requests.push_back(atom(kUriList));
  if (self->takesText_) {
    for (const char* text : {kTextUtf8, kUtf8String, kTextPlain}) {
      if (offers(context, atom(text))) {
        requests.push_back(atom(text));
        break;
      }
    }
  }
  if (self->takesPromises_ && offers(context, atom(kDirectSave))) {
    session->promisedName = proposedName(context);
  }
  // Counted before asking: a source in this process answers at once.
  session->awaiting = static_cast<int>(requests.size());
  if (requests.empty()) {
    self->collect(session);
  } else {
    for (GdkAtom target : requests) gtk_drag_get_data(widget, context, target, time);
  }
  return TRUE;
}

void GtkDropTarget::onDataReceived(GtkWidget* widget, GdkDragContext* context, gint /*x*/,
                                   gint /*y*/, GtkSelectionData* selection, guint /*info*/,
                                   guint /*time*/, gpointer data) {
  auto* self = static_cast<GtkDropTarget*>(data);
  std::shared_ptr<Session> session = self->session_;
  if (!session || session->finished || session->context.get() != context) return;
  const GdkAtom target = gtk_selection_data_get_target(selection);
  const gint length = gtk_selection_data_get_length(selection);
  const guchar* bytes = gtk_selection_data_get_data(selection);

  if (session->delivering && target == atom(kDirectSave)) {
    const char answer = length >= 1 && bytes != nullptr ? static_cast<char>(bytes[0]) : 'E';
    if (answer == 'S') {
      struct stat st {};
      const bool there = ::lstat(session->path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      session->deliver(there ? std::nullopt : std::optional<std::string>(kErrorMissing));
    } else if (answer == 'F' && offers(context, atom(kOctetStream))) {
      gtk_drag_get_data(widget, context, atom(kOctetStream), session->time);
    } else {
      session->deliver(std::string(kErrorNotSaved));
    }
    return;
  }
  if (session->delivering && target == atom(kOctetStream)) {
    if (length < 0 || bytes == nullptr) {
      session->deliver(std::string(kErrorNotSaved));
      return;
    }
    // Written on the work queue, then handed to the reader there.
    std::string content(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    session->queue->post(
        [reader = std::move(session->reader), path = session->path, content = std::move(content)] {
          const std::optional<std::string> error = writeNewFile(path, content);
          reader(error ? std::string() : path, error);
        });
    session->reader = nullptr;
    session->queue.reset();
    session->finish(true);
    return;
  }
  if (session->awaiting <= 0) return;
  if (length >= 0) {
    if (target == atom(kUriList)) {
      session->urls = readUris(selection);
    } else {
      session->names = readNames(selection);
    }
  }
  if (--session->awaiting == 0) self->collect(session);
}

void GtkDropTarget::collect(const std::shared_ptr<Session>& session) {
  std::shared_ptr<platform::FilePromiseReceiver> receiver;
  if (session->promisedName) {
    receiver = std::make_shared<DirectSaveReceiver>(session, *session->promisedName);
  }
  DropInfo info(*session, std::move(receiver));
  const bool taken = destination_->performDragOperation(info);
  // Without a promise to wait for, the drag is over.
  if (!session->delivering) session->finish(taken);
}

}  // namespace vellumark::linux_platform::gtk
