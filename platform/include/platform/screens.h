// The displays attached to the machine, the pointer position, and a
// notification when the displays change. Positions are in the platform's
// screen coordinates with a bottom-left origin at the primary screen's
// bottom-left corner, y growing upwards. Main-thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_shell.h"
#include "platform/window_control.h"

namespace vellumark::platform {

struct ScreenInfo {
  Rect frame;
  // The frame less panels, docks and menu bars.
  Rect visibleFrame;
  std::string localizedName;
  // The device description's "NSScreenNumber"; nullopt when it has none.
  std::optional<uint32_t> screenNumber;
};

class Screens {
 public:
  using Observer = std::function<void()>;

  virtual ~Screens() = default;
  // Every screen, the primary one first.
  virtual std::vector<ScreenInfo> screens() const = 0;
  // The number of screens, without reading their details.
  virtual size_t screenCount() const = 0;
  // The screen holding the key window, else the primary; nullopt with no screen.
  virtual std::optional<ScreenInfo> mainScreen() const = 0;
  virtual Point mouseLocation() const = 0;
  // `observer` runs once per change of the screens' number, size or layout
  // as long as the returned handle is kept.
  virtual std::shared_ptr<void> observeScreenParameters(Observer observer) = 0;
};

}  // namespace vellumark::platform
