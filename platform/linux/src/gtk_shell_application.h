// The application object on GTK 3: a GtkApplication (single instance over
// D-Bus, URLs handed over through "open") that loads the interface
// description, creates the delegate, the main window and the main menu, and
// runs the main loop until the application terminates. Main-thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "gtk_object.h"
#include "gtk_shell_menu.h"
#include "gtk_shell_window.h"
#include "platform/bundle.h"
#include "platform_linux/gtk_app_shell.h"

namespace vellumark::linux_platform::gtk {

class GtkShellApplication : public platform::Application, public MenuActions {
 public:
  GtkShellApplication(std::shared_ptr<platform::Bundle> bundle,
                      std::shared_ptr<platform::TaskQueue> mainQueue, ApplicationClasses classes);
  ~GtkShellApplication() override;
  GtkShellApplication(const GtkShellApplication&) = delete;
  GtkShellApplication& operator=(const GtkShellApplication&) = delete;

  // Runs the main loop; returns the process's exit status.
  int run(int argc, char** argv);

  // platform::Application
  platform::Menu* mainMenu() override;
  std::shared_ptr<platform::Image> imageNamed(const std::string& name) override;
  std::unique_ptr<platform::UiView> makeUiView() override;
  std::shared_ptr<platform::ShellView> makeView(platform::Rect frame) override;
  std::shared_ptr<platform::ShellView> makeImageView(std::shared_ptr<platform::Image> image,
                                                     platform::Rect frame) override;
  void terminate(int status) override;

  // MenuActions
  void installAction(const std::string& name, std::function<void()> action) override;
  GtkApplication* gtkApplication() const override { return app_.get(); }

 private:
  static void onAction(GSimpleAction* action, GVariant* parameter, gpointer data);
  static void onStartup(GApplication* app, gpointer data);
  static void onActivate(GApplication* app, gpointer data);
  static void onOpen(GApplication* app, GFile** files, gint count, const gchar* hint,
                     gpointer data);
  static void onWindowRemoved(GtkApplication* app, GtkWindow* window, gpointer data);
  static gboolean onFirstMap(GtkWidget* widget, GdkEvent* event, gpointer data);
  static gboolean onAfterFirstFrame(gpointer data);
  static gint onLocalOptions(GApplication* app, GVariantDict* options, gpointer data);

  void loadInterface();
  void fail(const std::string& why);
  void setCommandLine();
  void setWindowIcon();
  void launch();
  void showMainWindow();
  void tearDown();

  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  ApplicationClasses classes_;
  GObjectPtr<GtkApplication> app_;
  std::vector<SignalConnection> appSignals_;
  GObjectPtr<GtkBuilder> builder_;
  GObjectPtr<GMenuModel> menuModel_;
  std::unique_ptr<GtkShellMenu> mainMenu_;
  std::unique_ptr<GtkShellWindow> window_;
  std::unique_ptr<platform::ApplicationDelegate> delegate_;
  std::unique_ptr<platform::NibWindow> nibWindow_;
  std::map<std::string, std::function<void()>> actions_;
  SignalConnection firstMap_;
  SourceId afterFirstFrame_;
  bool launched_ = false;
  bool shown_ = false;
  bool failed_ = false;
  bool held_ = false;
  bool terminating_ = false;
  int exitStatus_ = 0;
};

}  // namespace vellumark::linux_platform::gtk
