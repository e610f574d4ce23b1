// Owners for the GLib/GTK handles the shell keeps: object references,
// signal connections, main-loop sources, errors and strings. Main-thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <utility>

namespace vellumark::linux_platform::gtk {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns (a "transfer full" result).
template <typename T>
GObjectPtr<T> adopt(T* object) {
  return GObjectPtr<T>(object);
}

// Takes a reference of its own, sinking a floating one: a widget kept past
// the call that made it stays valid after its container lets go of it.
template <typename T>
GObjectPtr<T> retain(T* object) {
  if (object == nullptr) return nullptr;
  return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct CairoSurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using CairoSurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy>;

// A signal handler that is disconnected when its owner goes. It holds a
// reference to the instance, so the disconnection never meets a freed object.
class SignalConnection {
 public:
  SignalConnection() = default;
  SignalConnection(gpointer instance, const char* signal, GCallback callback, gpointer data,
                   GConnectFlags flags = GConnectFlags{})
      : instance_(G_OBJECT(g_object_ref(instance))),
        id_(g_signal_connect_data(instance, signal, callback, data, nullptr, flags)) {}
  SignalConnection(SignalConnection&& other) noexcept
      : instance_(std::move(other.instance_)), id_(std::exchange(other.id_, 0)) {}
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      instance_ = std::move(other.instance_);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;
  ~SignalConnection() { disconnect(); }

  void disconnect() {
    if (instance_ && id_ != 0 && g_signal_handler_is_connected(instance_.get(), id_)) {
      g_signal_handler_disconnect(instance_.get(), id_);
    }
    id_ = 0;
    instance_.reset();
  }

 private:
  GObjectPtr<GObject> instance_;
  gulong id_ = 0;
};

// A main-loop source (timeout, idle) removed when its owner goes, unless it
// has already finished: call finished() from a callback that returns
// G_SOURCE_REMOVE.
class SourceId {
 public:
  SourceId() = default;
  explicit SourceId(guint id) : id_(id) {}
  SourceId(SourceId&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  SourceId& operator=(SourceId&& other) noexcept {
    if (this != &other) {
      remove();
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  SourceId(const SourceId&) = delete;
  SourceId& operator=(const SourceId&) = delete;
  ~SourceId() { remove(); }

  bool active() const { return id_ != 0; }
  void finished() { id_ = 0; }
  void remove() {
    if (id_ != 0) g_source_remove(id_);
    id_ = 0;
  }

 private:
  guint id_ = 0;
};

// The one place GLib/GTK errors become readable text.
inline std::string describe(const char* call, const GError* error) {
  return std::string(call) + ": " + (error != nullptr ? error->message : "unknown error");
}

void logShell(const std::string& line);

// `value` as CSS and GTK read it, whatever the process's LC_NUMERIC: a
// comma-decimal locale would otherwise write "1,000", which GTK rejects.
std::string cssNumber(double value);

}  // namespace vellumark::linux_platform::gtk
