#include "gtk_shell_menu.h"

namespace vellumark::linux_platform::gtk {
namespace {

constexpr char kAccelAttribute[] = "accel";
constexpr char kAppActionPrefix[] = "app.";

}  // namespace

GtkShellMenuItem::GtkShellMenuItem(MenuActions& actions, GMenuModel* owner, int index)
    : actions_(actions), owner_(G_MENU_MODEL(g_object_ref(owner))), index_(index) {}

GtkShellMenuItem::~GtkShellMenuItem() = default;

std::string GtkShellMenuItem::stringAttribute(const char* name) const {
  gchar* raw = nullptr;
  if (!g_menu_model_get_item_attribute(owner_.get(), index_, name, "s", &raw)) return {};
  GCharPtr value(raw);
  return value ? std::string(value.get()) : std::string();
}

std::string GtkShellMenuItem::title() const { return stringAttribute(G_MENU_ATTRIBUTE_LABEL); }

std::string GtkShellMenuItem::keyEquivalent() const {
  const std::string accel = stringAttribute(kAccelAttribute);
  if (accel.empty()) return {};
  guint key = 0;
  GdkModifierType modifiers{};
  gtk_accelerator_parse(accel.c_str(), &key, &modifiers);
  const gunichar ch = gdk_keyval_to_unicode(key);
  if (ch == 0) return {};
  char utf8[8] = {};
  const gint length = g_unichar_to_utf8(ch, utf8);
  return std::string(utf8, static_cast<size_t>(length));
}

platform::Menu* GtkShellMenuItem::submenu() {
  if (!submenu_) {
    auto link = adopt(g_menu_model_get_item_link(owner_.get(), index_, G_MENU_LINK_SUBMENU));
    if (!link) return nullptr;
    submenu_ = std::make_unique<GtkShellMenu>(actions_, link.get());
  }
  return submenu_.get();
}

void GtkShellMenuItem::setAction(const std::string& selector, std::function<void()> action) {
  std::string name = selector;
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (!g_action_name_is_valid(name.c_str())) return;
  actions_.installAction(name, std::move(action));

  const std::string detailed = kAppActionPrefix + name;
  gchar* rawOld = nullptr;
  g_menu_model_get_item_attribute(owner_.get(), index_, G_MENU_ATTRIBUTE_ACTION, "s", &rawOld);
  GCharPtr oldAction(rawOld);
  const std::string accel = stringAttribute(kAccelAttribute);

  // Menu models are immutable through their interface; the builder's menus
  // are GMenus, whose item is replaced in place.
  if (G_IS_MENU(owner_.get())) {
    GMenu* menu = G_MENU(owner_.get());
    auto item = adopt(g_menu_item_new_from_model(owner_.get(), index_));
    g_menu_item_set_detailed_action(item.get(), detailed.c_str());
    g_menu_remove(menu, index_);
    g_menu_insert_item(menu, index_, item.get());
  }
  // The shortcut moves with the item to its new action.
  GtkApplication* app = actions_.gtkApplication();
  const gchar* none[] = {nullptr};
  if (oldAction && detailed != oldAction.get()) {
    gtk_application_set_accels_for_action(app, oldAction.get(), none);
  }
  if (!accel.empty()) {
    const gchar* accels[] = {accel.c_str(), nullptr};
    gtk_application_set_accels_for_action(app, detailed.c_str(), accels);
  }
}

GtkShellMenu::GtkShellMenu(MenuActions& actions, GMenuModel* model) { collect(actions, model); }

platform::MenuItem* GtkShellMenu::itemAtIndex(size_t index) {
  return index < items_.size() ? items_[index].get() : nullptr;
}

void GtkShellMenu::collect(MenuActions& actions, GMenuModel* model) {
  const int count = g_menu_model_get_n_items(model);
  for (int i = 0; i < count; ++i) {
    auto section = adopt(g_menu_model_get_item_link(model, i, G_MENU_LINK_SECTION));
    if (section) {
      collect(actions, section.get());
    } else {
      items_.push_back(std::make_unique<GtkShellMenuItem>(actions, model, i));
    }
  }
}

void GtkShellMenu::registerAccels(GtkApplication* app, GMenuModel* model) {
  const int count = g_menu_model_get_n_items(model);
  for (int i = 0; i < count; ++i) {
    gchar* rawAction = nullptr;
    gchar* rawAccel = nullptr;
    g_menu_model_get_item_attribute(model, i, G_MENU_ATTRIBUTE_ACTION, "s", &rawAction);
    g_menu_model_get_item_attribute(model, i, kAccelAttribute, "s", &rawAccel);
    GCharPtr action(rawAction);
    GCharPtr accel(rawAccel);
    if (action && accel) {
      const gchar* accels[] = {accel.get(), nullptr};
      gtk_application_set_accels_for_action(app, action.get(), accels);
    }
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      auto child = adopt(g_menu_model_get_item_link(model, i, link));
      if (child) registerAccels(app, child.get());
    }
  }
}

}  // namespace vellumark::linux_platform::gtk
