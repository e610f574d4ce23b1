// The application main on GTK 3: loads the interface description
// (Resources/MainMenu.ui), creates the delegate, the main window and the main
// menu, and runs the GLib main loop until the application terminates.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app_shell.h"
#include "platform/bundle.h"
#include "platform/task_queue.h"

namespace vellumark::linux_platform {

struct ApplicationClasses {
  // The application delegate of the interface description.
  std::function<std::unique_ptr<platform::ApplicationDelegate>()> makeDelegate;
  // The object in MainMenu.ui with this id is the main window; makeWindow
  // creates the program's side of it, which the shell then wakes.
  std::string windowClass = "MainFlutterWindow";
  std::function<std::unique_ptr<platform::NibWindow>(platform::Application&, platform::Window&,
                                                     platform::ApplicationDelegate&)>
      makeWindow;
  // Runs on the main queue once the main loop runs after launching (the
  // window woken, "will finish launching" told), before the window is shown.
  std::function<void(platform::Application&)> onLaunched;
  // Runs after the main loop ended, before the window and delegate go away.
  std::function<void()> onTearDown;
  // Each URL the application is asked to open (GApplication "open") goes
  // here first, as the get-URL event; a URL it returns false for reaches the
  // delegate's applicationOpenURLs.
  std::function<bool(const std::string& url)> getURLEvent;
  // The command line: "--version" prints `versionText` and exits; "--help"
  // shows the summary and the description around the options.
  std::string versionText;
  std::string helpSummary;
  std::string helpDescription;
};

// Returns the process's exit status: 0 after a normal termination, the
// status given to terminate(), or 1 when the interface description cannot
// be loaded. `mainQueue` runs on the GLib main context that GTK uses.
int applicationMain(int argc, char** argv, std::shared_ptr<platform::Bundle> bundle,
                    std::shared_ptr<platform::TaskQueue> mainQueue, ApplicationClasses classes);

}  // namespace vellumark::linux_platform
