// The application delegate named by the interface description.
#pragma once

#include "flutter_app_delegate.h"

namespace vellumark {

class AppDelegate : public FlutterAppDelegate {
 public:
  // Closing the main window ends the process.
  bool applicationShouldTerminateAfterLastWindowClosed() override { return true; }
  bool applicationSupportsSecureRestorableState() override { return true; }
};

}  // namespace vellumark
