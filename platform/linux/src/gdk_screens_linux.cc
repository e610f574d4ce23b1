#include "gdk_screens_linux.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cmath>
#include <string>
#include <utility>

namespace vellumark::linux_platform::gtk {

struct GdkScreens::Observers {
  std::map<int, Observer> list;
  int lastId = 0;
};

namespace {

std::string monitorName(GdkMonitor* monitor, int index) {
  const char* manufacturer = gdk_monitor_get_manufacturer(monitor);
  const char* model = gdk_monitor_get_model(monitor);
  std::string name;
  if (manufacturer != nullptr && *manufacturer != '\0') name = manufacturer;
  if (model != nullptr && *model != '\0') name += (name.empty() ? "" : " ") + std::string(model);
  if (name.empty()) name = "Monitor " + std::to_string(index + 1);
  return name;
}

platform::ScreenInfo screenInfo(GdkMonitor* monitor, int index, const GdkRectangle& primary) {
  GdkRectangle geometry{};
  GdkRectangle workarea{};
  gdk_monitor_get_geometry(monitor, &geometry);
  gdk_monitor_get_workarea(monitor, &workarea);
  platform::ScreenInfo info;
  info.frame = toPlatformRect(geometry, primary);
  info.visibleFrame = toPlatformRect(workarea, primary);
  info.localizedName = monitorName(monitor, index);
  if (GDK_IS_X11_MONITOR(monitor)) {
    const XID output = gdk_x11_monitor_get_output(monitor);
    if (output != 0) info.screenNumber = static_cast<uint32_t>(output);
  }
  return info;
}

}  // namespace

GdkMonitor* primaryMonitor(GdkDisplay* display) {
  if (display == nullptr) return nullptr;
  GdkMonitor* primary = gdk_display_get_primary_monitor(display);
  if (primary == nullptr && gdk_display_get_n_monitors(display) > 0) {
    primary = gdk_display_get_monitor(display, 0);
  }
  return primary;
}

GdkRectangle primaryGeometry(GdkDisplay* display) {
  GdkRectangle geometry{};
  if (GdkMonitor* primary = primaryMonitor(display)) gdk_monitor_get_geometry(primary, &geometry);
  return geometry;
}

platform::Rect toPlatformRect(const GdkRectangle& rect, const GdkRectangle& primary) {
  return {static_cast<double>(rect.x - primary.x),
          static_cast<double>((primary.y + primary.height) - (rect.y + rect.height)),
          static_cast<double>(rect.width), static_cast<double>(rect.height)};
}

GdkRectangle fromPlatformRect(const platform::Rect& rect, const GdkRectangle& primary) {
  const auto whole = [](double v) { return static_cast<int>(std::lround(v)); };
  const int width = whole(rect.width);
  const int height = whole(rect.height);
  return {whole(rect.x) + primary.x, primary.y + primary.height - whole(rect.y) - height, width,
          height};
}

platform::Point toPlatformPoint(double x, double y, const GdkRectangle& primary) {
  return {x - primary.x, (primary.y + primary.height) - y};
}

GdkScreens::GdkScreens() : observers_(std::make_shared<Observers>()) {}

GdkScreens::~GdkScreens() { disconnect(); }

std::vector<platform::ScreenInfo> GdkScreens::screens() const {
  std::vector<platform::ScreenInfo> list;
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* primary = primaryMonitor(display);
  if (primary == nullptr) return list;
  const GdkRectangle origin = primaryGeometry(display);
  const int count = gdk_display_get_n_monitors(display);
  int primaryIndex = 0;
  for (int i = 0; i < count; ++i) {
    if (gdk_display_get_monitor(display, i) == primary) primaryIndex = i;
  }
  list.push_back(screenInfo(primary, primaryIndex, origin));
  for (int i = 0; i < count; ++i) {
    GdkMonitor* monitor = gdk_display_get_monitor(display, i);
    if (monitor != nullptr && monitor != primary) list.push_back(screenInfo(monitor, i, origin));
  }
  return list;
}

size_t GdkScreens::screenCount() const {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr ? static_cast<size_t>(gdk_display_get_n_monitors(display)) : 0;
}

std::optional<platform::ScreenInfo> GdkScreens::mainScreen() const {
  GdkDisplay* display = gdk_display_get_default();
  if (primaryMonitor(display) == nullptr) return std::nullopt;
  GdkMonitor* main = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* it = toplevels; it != nullptr && main == nullptr; it = it->next) {
    auto* window = GTK_WINDOW(it->data);
    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
    if (gtk_window_is_active(window) && gdkWindow != nullptr) {
      main = gdk_display_get_monitor_at_window(display, gdkWindow);
    }
  }
  g_list_free(toplevels);
  if (main == nullptr) main = primaryMonitor(display);
  int index = 0;
  for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
    if (gdk_display_get_monitor(display, i) == main) index = i;
  }
  return screenInfo(main, index, primaryGeometry(display));
}

platform::Point GdkScreens::mouseLocation() const {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return {};
  GdkSeat* seat = gdk_display_get_default_seat(display);
  GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
  if (pointer == nullptr) return {};
  double x = 0;
  double y = 0;
  gdk_device_get_position_double(pointer, nullptr, &x, &y);
  return toPlatformPoint(x, y, primaryGeometry(display));
}

std::shared_ptr<void> GdkScreens::observeScreenParameters(Observer observer) {
  const int id = ++observers_->lastId;
  observers_->list[id] = std::move(observer);
  if (signals_.empty()) connect();
  std::weak_ptr<Observers> weak = observers_;
  return std::shared_ptr<void>(nullptr, [weak, id](void*) {
    if (auto observers = weak.lock()) observers->list.erase(id);
  });
}

// Monitor-added, monitor-removed and the screen's monitors-changed of one
// change come together; they make one notification once they are all in.
void GdkScreens::connect() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return;
  signals_.emplace_back(display, "monitor-added", G_CALLBACK(&GdkScreens::onMonitorsChanged), this,
                        G_CONNECT_SWAPPED);
  signals_.emplace_back(display, "monitor-removed", G_CALLBACK(&GdkScreens::onMonitorsChanged),
                        this, G_CONNECT_SWAPPED);
  if (GdkScreen* screen = gdk_display_get_default_screen(display)) {
    signals_.emplace_back(screen, "monitors-changed", G_CALLBACK(&GdkScreens::onMonitorsChanged),
                          this, G_CONNECT_SWAPPED);
  }
}

void GdkScreens::disconnect() {
  signals_.clear();
  pending_.remove();
}

void GdkScreens::onMonitorsChanged(gpointer data) {
  auto* self = static_cast<GdkScreens*>(data);
  if (!self->pending_.active()) {
    self->pending_ = SourceId(g_idle_add(&GdkScreens::onIdleNotify, self));
  }
}

gboolean GdkScreens::onIdleNotify(gpointer data) {
  auto* self = static_cast<GdkScreens*>(data);
  self->pending_.finished();
  // A copy: an observer may go away while the others run.
  const auto current = self->observers_->list;
  for (const auto& [id, observer] : current) {
    if (self->observers_->list.count(id) != 0 && observer) observer();
  }
  return G_SOURCE_REMOVE;
}

}  // namespace vellumark::linux_platform::gtk
