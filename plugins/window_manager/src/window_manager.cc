#include <utility>

#include "window_manager/window_manager_plugin.h"

namespace vellumark {

namespace {

constexpr char kEventClose[] = "close";
constexpr char kEventMaximize[] = "maximize";
constexpr char kEventUnmaximize[] = "unmaximize";
constexpr char kEventResize[] = "resize";
constexpr char kEventResized[] = "resized";
constexpr char kEventMove[] = "move";
constexpr char kEventMoved[] = "moved";
constexpr char kEventFocus[] = "focus";
constexpr char kEventBlur[] = "blur";
constexpr char kEventMinimize[] = "minimize";
constexpr char kEventRestore[] = "restore";
constexpr char kEventEnterFullScreen[] = "enter-full-screen";
constexpr char kEventLeaveFullScreen[] = "leave-full-screen";

}  // namespace

void WindowManager::setMainWindow(std::shared_ptr<platform::WindowControl> window,
                                  std::weak_ptr<platform::WindowDelegate> self) {
  mainWindow_ = std::move(window);
  if (mainWindow_) mainWindow_->setDelegate(std::move(self));
}

void WindowManager::emit(const char* eventName) {
  if (onEvent) onEvent(eventName);
}

bool WindowManager::windowShouldClose() {
  emit(kEventClose);
  return !isPreventClose;
}

bool WindowManager::windowShouldZoom() {
  emit(kEventMaximize);
  return isMaximizable;
}

void WindowManager::windowDidResize() {
  emit(kEventResize);
  const bool zoomed = mainWindow_ && mainWindow_->isZoomed();
  if (!isMaximized_ && zoomed) {
    isMaximized_ = true;
    emit(kEventMaximize);
  } else if (isMaximized_ && !zoomed) {
    isMaximized_ = false;
    emit(kEventUnmaximize);
  }
}

void WindowManager::windowDidEndLiveResize() { emit(kEventResized); }
void WindowManager::windowWillMove() { emit(kEventMove); }
void WindowManager::windowDidMove() { emit(kEventMoved); }

void WindowManager::windowDidBecomeKey() {
  if (mainWindow_ && mainWindow_->isPanel()) emit(kEventFocus);
}

void WindowManager::windowDidResignKey() {
  if (mainWindow_ && mainWindow_->isPanel()) emit(kEventBlur);
}

void WindowManager::windowDidBecomeMain() { emit(kEventFocus); }
void WindowManager::windowDidResignMain() { emit(kEventBlur); }
void WindowManager::windowDidMiniaturize() { emit(kEventMinimize); }
void WindowManager::windowDidDeminiaturize() { emit(kEventRestore); }
void WindowManager::windowDidEnterFullScreen() { emit(kEventEnterFullScreen); }
void WindowManager::windowDidExitFullScreen() { emit(kEventLeaveFullScreen); }

}  // namespace vellumark
