#include "gtk_shell_application.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "gtk_shell_image.h"
#include "gtk_shell_view.h"
#include "gtk_ui_view.h"

namespace vellumark::linux_platform {
namespace gtk {
namespace {

constexpr char kInterfaceName[] = "MainMenu";
constexpr char kInterfaceType[] = "ui";
constexpr char kMainMenuId[] = "MainMenu";
constexpr char kImageType[] = "png";
constexpr char kQuitAction[] = "quit";
constexpr char kIconName[] = "AppIcon";
constexpr char kVersionOption[] = "version";

}  // namespace

GtkShellApplication::GtkShellApplication(std::shared_ptr<platform::Bundle> bundle,
                                         std::shared_ptr<platform::TaskQueue> mainQueue,
                                         ApplicationClasses classes)
    : bundle_(std::move(bundle)), mainQueue_(std::move(mainQueue)), classes_(std::move(classes)) {
  const auto id = bundle_->bundleIdentifier();
  const bool validId = id && g_application_id_is_valid(id->c_str());
  app_ = adopt(gtk_application_new(validId ? id->c_str() : nullptr, G_APPLICATION_HANDLES_OPEN));
  setCommandLine();
  appSignals_.emplace_back(app_.get(), "startup", G_CALLBACK(&GtkShellApplication::onStartup),
                           this);
  appSignals_.emplace_back(app_.get(), "activate", G_CALLBACK(&GtkShellApplication::onActivate),
                           this);
  appSignals_.emplace_back(app_.get(), "open", G_CALLBACK(&GtkShellApplication::onOpen), this);
  appSignals_.emplace_back(app_.get(), "window-removed",
                           G_CALLBACK(&GtkShellApplication::onWindowRemoved), this);
}

GtkShellApplication::~GtkShellApplication() { tearDown(); }

int GtkShellApplication::run(int argc, char** argv) {
  const int status = g_application_run(G_APPLICATION(app_.get()), argc, argv);
  if (classes_.onTearDown) classes_.onTearDown();
  tearDown();
  if (failed_) return 1;
  return exitStatus_ != 0 ? exitStatus_ : status;
}

// The GTK window goes first, so nothing draws into a view or signals the
// program while the program's objects go; views and plugins keep references
// to the widgets they use. Then the program's objects, before the window
// wrapper they point into.
void GtkShellApplication::tearDown() {
  appSignals_.clear();
  firstMap_.disconnect();
  afterFirstFrame_.remove();
  if (window_) gtk_widget_destroy(GTK_WIDGET(window_->gtkWindow()));
  nibWindow_.reset();
  delegate_.reset();
  mainMenu_.reset();
  window_.reset();
}

platform::Menu* GtkShellApplication::mainMenu() {
  if (!mainMenu_ && menuModel_) mainMenu_ = std::make_unique<GtkShellMenu>(*this, menuModel_.get());
  return mainMenu_.get();
}

std::shared_ptr<platform::Image> GtkShellApplication::imageNamed(const std::string& name) {
  auto path = bundle_->pathForResource(name, kImageType);
  if (!path) return nullptr;
  GObjectPtr<GdkPixbuf> pixbuf = GtkShellImage::loadPng(*path);
  if (!pixbuf) return nullptr;
  return std::make_shared<GtkShellImage>(std::move(pixbuf));
}

std::unique_ptr<platform::UiView> GtkShellApplication::makeUiView() {
  return std::make_unique<GtkUiView>();
}

std::shared_ptr<platform::ShellView> GtkShellApplication::makeView(platform::Rect frame) {
  return std::make_shared<GtkShellView>(mainQueue_, frame);
}

std::shared_ptr<platform::ShellView> GtkShellApplication::makeImageView(
    std::shared_ptr<platform::Image> image, platform::Rect frame) {
  auto* gtkImage = dynamic_cast<GtkShellImage*>(image.get());
  if (gtkImage == nullptr) return std::make_shared<GtkShellView>(mainQueue_, frame);
  GObjectPtr<GdkPixbuf> scaled = GtkShellImage::scaleToFit(gtkImage->pixbuf(), frame);
  return std::make_shared<GtkShellView>(mainQueue_, frame,
                                        scaled ? scaled.get() : gtkImage->pixbuf());
}

void GtkShellApplication::terminate(int status) {
  if (terminating_) return;
  terminating_ = true;
  exitStatus_ = status;
  if (delegate_) delegate_->applicationWillTerminate();
  if (window_) gtk_widget_destroy(GTK_WIDGET(window_->gtkWindow()));
  if (held_) {
    held_ = false;
    g_application_release(G_APPLICATION(app_.get()));
  }
  g_application_quit(G_APPLICATION(app_.get()));
}

void GtkShellApplication::installAction(const std::string& name, std::function<void()> action) {
  actions_[name] = std::move(action);
  auto simple = adopt(g_simple_action_new(name.c_str(), nullptr));
  // The action map holds the action and the application outlives it, so the
  // handler needs no disconnection of its own.
  g_signal_connect(simple.get(), "activate", G_CALLBACK(&GtkShellApplication::onAction), this);
  g_action_map_add_action(G_ACTION_MAP(app_.get()), G_ACTION(simple.get()));
}

void GtkShellApplication::onAction(GSimpleAction* action, GVariant* /*parameter*/, gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  auto it = self->actions_.find(g_action_get_name(G_ACTION(action)));
  if (it != self->actions_.end() && it->second) it->second();
}

void GtkShellApplication::setCommandLine() {
  GApplication* app = G_APPLICATION(app_.get());
  g_application_add_main_option(app, kVersionOption, 0, G_OPTION_FLAG_NONE, G_OPTION_ARG_NONE,
                                "Print the version and exit", nullptr);
  if (!classes_.helpSummary.empty()) {
    g_application_set_option_context_summary(app, classes_.helpSummary.c_str());
  }
  if (!classes_.helpDescription.empty()) {
    g_application_set_option_context_description(app, classes_.helpDescription.c_str());
  }
  appSignals_.emplace_back(app_.get(), "handle-local-options",
                           G_CALLBACK(&GtkShellApplication::onLocalOptions), this);
}

// Before any display or bus is opened, so "--version" works anywhere.
gint GtkShellApplication::onLocalOptions(GApplication* /*app*/, GVariantDict* options,
                                         gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  if (!g_variant_dict_contains(options, kVersionOption)) return -1;
  std::fputs(self->classes_.versionText.c_str(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

void GtkShellApplication::onStartup(GApplication* app, gpointer data) {
  // The window's class (WM_CLASS) is the application ID, so docks tie the
  // window to the desktop entry whose StartupWMClass names it. GTK set its
  // own from the program name while starting up, just before.
  if (const char* id = g_application_get_application_id(app)) gdk_set_program_class(id);
  static_cast<GtkShellApplication*>(data)->loadInterface();
}

void GtkShellApplication::onActivate(GApplication* /*app*/, gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  if (!self->launched_) {
    self->launch();  // shows the window on a later pass
  } else if (self->window_ && self->shown_) {
    gtk_window_present(self->window_->gtkWindow());
  }
}

void GtkShellApplication::onOpen(GApplication* /*app*/, GFile** files, gint count,
                                 const gchar* /*hint*/, gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  const bool running = self->launched_;
  self->launch();
  if (self->failed_ || !self->delegate_) return;
  // A request to a running application brings its window forward.
  if (running && self->window_ && self->shown_) gtk_window_present(self->window_->gtkWindow());
  std::vector<std::string> urls;
  for (gint i = 0; i < count; ++i) {
    GCharPtr uri(g_file_get_uri(files[i]));
    if (!uri) continue;
    if (self->classes_.getURLEvent && self->classes_.getURLEvent(uri.get())) continue;
    urls.emplace_back(uri.get());
  }
  if (!urls.empty()) self->delegate_->applicationOpenURLs(urls);
}

void GtkShellApplication::onWindowRemoved(GtkApplication* app, GtkWindow* /*window*/,
                                          gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  if (gtk_application_get_windows(app) != nullptr || self->terminating_) return;
  if (self->delegate_ && self->delegate_->applicationShouldTerminateAfterLastWindowClosed()) {
    self->terminate(0);
  }
}

// Loads MainMenu.ui; the objects are created when the application launches.
void GtkShellApplication::loadInterface() {
  auto path = bundle_->pathForResource(kInterfaceName, kInterfaceType);
  if (!path) {
    fail("no interface description MainMenu.ui in " + bundle_->resourcePath());
    return;
  }
  builder_ = adopt(gtk_builder_new());
  GError* raw = nullptr;
  if (gtk_builder_add_from_file(builder_.get(), path->c_str(), &raw) == 0) {
    GErrorPtr error(raw);
    fail(describe("gtk_builder_add_from_file", error.get()));
    return;
  }
  GObject* menu = gtk_builder_get_object(builder_.get(), kMainMenuId);
  if (menu != nullptr && G_IS_MENU_MODEL(menu)) {
    menuModel_.reset(G_MENU_MODEL(g_object_ref(menu)));
  }
  installAction(kQuitAction, [this] { terminate(0); });
}

void GtkShellApplication::fail(const std::string& why) {
  logShell(why);
  failed_ = true;
  g_application_quit(G_APPLICATION(app_.get()));
}

void GtkShellApplication::launch() {
  if (launched_ || failed_) return;
  launched_ = true;

  GObject* object = gtk_builder_get_object(builder_.get(), classes_.windowClass.c_str());
  if (object == nullptr || !GTK_IS_WINDOW(object)) {
    fail("the interface description has no window " + classes_.windowClass);
    return;
  }
  // Stays alive until the application quits, whatever the windows do.
  g_application_hold(G_APPLICATION(app_.get()));
  held_ = true;

  delegate_ = classes_.makeDelegate ? classes_.makeDelegate()
                                    : std::make_unique<platform::ApplicationDelegate>();
  if (menuModel_) {
    gtk_application_set_menubar(app_.get(), menuModel_.get());
    GtkShellMenu::registerAccels(app_.get(), menuModel_.get());
  }

  GtkWindow* gtkWindow = GTK_WINDOW(object);
  gtk_window_set_application(gtkWindow, app_.get());
  window_ = std::make_unique<GtkShellWindow>(gtkWindow);
  if (classes_.makeWindow) {
    nibWindow_ = classes_.makeWindow(*this, *window_, *delegate_);
    if (nibWindow_) nibWindow_->awakeFromNib();
  }

  delegate_->applicationWillFinishLaunching();
  // Realizing and showing the window (styles, fonts, the menu bar) is a large
  // part of start-up and nothing the program's launch step needs, so that
  // step (the bridge listening) runs first on the main loop.
  if (classes_.onLaunched) {
    mainQueue_->post([this] {
      if (!terminating_) classes_.onLaunched(*this);
    });
  }
  mainQueue_->post([this] { showMainWindow(); });
}

void GtkShellApplication::showMainWindow() {
  if (shown_ || terminating_ || !window_) return;
  shown_ = true;
  GtkWindow* window = window_->gtkWindow();
  if (menuModel_ && GTK_IS_APPLICATION_WINDOW(window)) {
    // The menu bar's labels need the fonts, and loading them the first time
    // (fontconfig) held the window's first map back by most of the host's
    // start-up overhead. The bar joins the window once it is on screen; its
    // shortcuts work from the start.
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), FALSE);
  }
  firstMap_ =
      SignalConnection(window, "map-event", G_CALLBACK(&GtkShellApplication::onFirstMap), this);
  gtk_widget_show_all(GTK_WIDGET(window));
  gtk_window_present(window);
  delegate_->applicationDidFinishLaunching();
}

gboolean GtkShellApplication::onFirstMap(GtkWidget* /*widget*/, GdkEvent* /*event*/,
                                         gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  self->firstMap_.disconnect();
  // After the first frame, which the redraw priority puts ahead of idles.
  self->afterFirstFrame_ = SourceId(g_idle_add(&GtkShellApplication::onAfterFirstFrame, self));
  return FALSE;
}

gboolean GtkShellApplication::onAfterFirstFrame(gpointer data) {
  auto* self = static_cast<GtkShellApplication*>(data);
  self->afterFirstFrame_.finished();
  if (!self->window_ || self->terminating_) return G_SOURCE_REMOVE;
  GtkWindow* window = self->window_->gtkWindow();
  if (self->menuModel_ && GTK_IS_APPLICATION_WINDOW(window)) {
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);
  }
  self->setWindowIcon();
  return G_SOURCE_REMOVE;
}

// After the first frame, so the window's first map does not wait for it.
// The pixels come from the bundle's own icon rather than the icon theme:
// loading the theme would cost start-up about 1.7 MiB, and docks find the
// themed icon through the desktop entry (named after the application ID,
// like the window's class) anyway. Every window of the application, dialogs
// included, shows it.
void GtkShellApplication::setWindowIcon() {
  auto path = bundle_->pathForResource(kIconName, kImageType);
  if (!path) return;
  if (GObjectPtr<GdkPixbuf> pixbuf = GtkShellImage::loadPng(*path)) {
    gtk_window_set_default_icon(pixbuf.get());
  }
}

}  // namespace gtk

int applicationMain(int argc, char** argv, std::shared_ptr<platform::Bundle> bundle,
                    std::shared_ptr<platform::TaskQueue> mainQueue, ApplicationClasses classes) {
  gtk::GtkShellApplication application(std::move(bundle), std::move(mainQueue), std::move(classes));
  return application.run(argc, argv);
}

}  // namespace vellumark::linux_platform
