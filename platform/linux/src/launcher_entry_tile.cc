#include "launcher_entry_tile.h"

#include <charconv>
#include <cstdint>
#include <utility>

namespace vellumark::linux_platform::gtk {

namespace {

constexpr char kInterface[] = "com.canonical.Unity.LauncherEntry";
constexpr char kSignal[] = "Update";
constexpr char kPathPrefix[] = "/com/canonical/unity/launcherentry/";
constexpr char kUriPrefix[] = "application://";

std::optional<int64_t> wholeNumber(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

GVariant* launcherEntryProperties(const std::string& badgeLabel,
                                  const std::optional<platform::DockProgress>& progress) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  const auto count = wholeNumber(badgeLabel);
  g_variant_builder_add(&builder, "{sv}", "count", g_variant_new_int64(count.value_or(0)));
  g_variant_builder_add(&builder, "{sv}", "count-visible",
                        g_variant_new_boolean(count.has_value()));
  double value = 0;
  bool visible = false;
  if (progress) {
    const double span = progress->maxValue - progress->minValue;
    value = progress->indeterminate ? 1.0
            : span > 0              ? (progress->value - progress->minValue) / span
                                    : 0.0;
    if (!(value >= 0)) value = 0;  // NaN too
    if (value > 1) value = 1;
    visible = !progress->hidden;
  }
  g_variant_builder_add(&builder, "{sv}", "progress", g_variant_new_double(value));
  g_variant_builder_add(&builder, "{sv}", "progress-visible", g_variant_new_boolean(visible));
  return g_variant_builder_end(&builder);
}

LauncherEntryTile::LauncherEntryTile(std::string desktopId)
    : appUri_(kUriPrefix + desktopId),
      objectPath_(kPathPrefix + std::to_string(g_str_hash(appUri_.c_str()))) {}

LauncherEntryTile::~LauncherEntryTile() {
  if (connecting_) g_cancellable_cancel(connecting_.get());
}

void LauncherEntryTile::setBadgeLabel(const std::string& label) {
  label_ = label;
  emit();
}

platform::DockProgress& LauncherEntryTile::installProgressBar() {
  bar_ = platform::DockProgress{};
  return *bar_;
}

void LauncherEntryTile::display() { emit(); }

void LauncherEntryTile::emit() {
  if (!bus_) {
    // The first change connects; what changes meanwhile goes out once connected.
    dirty_ = true;
    if (!connecting_) {
      connecting_ = adopt(g_cancellable_new());
      g_bus_get(G_BUS_TYPE_SESSION, connecting_.get(), &LauncherEntryTile::onBus, this);
    }
    return;
  }
  dirty_ = false;
  GError* raw = nullptr;
  if (!g_dbus_connection_emit_signal(
          bus_.get(), nullptr, objectPath_.c_str(), kInterface, kSignal,
          g_variant_new("(s@a{sv})", appUri_.c_str(), launcherEntryProperties(label_, bar_)),
          &raw)) {
    GErrorPtr error(raw);
    logShell(describe("g_dbus_connection_emit_signal", error.get()));
  }
}

// Cancelled when the tile went first: `data` is not touched then.
void LauncherEntryTile::onBus(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  GError* raw = nullptr;
  GDBusConnection* bus = g_bus_get_finish(result, &raw);
  GErrorPtr error(raw);
  if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
  auto* self = static_cast<LauncherEntryTile*>(data);
  self->connecting_.reset();
  if (bus == nullptr) {
    logShell(describe("g_bus_get", error.get()));
    return;
  }
  self->bus_ = adopt(bus);
  if (self->dirty_) self->emit();
}

}  // namespace vellumark::linux_platform::gtk
