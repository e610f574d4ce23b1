#include "platform_fakes/fake_window_control.h"

#include <utility>

namespace vellumark::platform::fakes {

void FakeWindowControl::setFrame(Rect frame, bool /*display*/, bool animate) {
  const bool resized = frame.width != frameValue.width || frame.height != frameValue.height;
  const bool moved = frame.x != frameValue.x || frame.y != frameValue.y;
  frameValue = frame;
  lastAnimate = animate;
  log.push_back("setFrame");
  if (auto d = liveDelegate()) {
    if (moved) {
      d->windowWillMove();
      d->windowDidMove();
    }
    if (resized) d->windowDidResize();
  }
}

Rect FakeWindowControl::contentRectForFrameRect(Rect frame) const {
  frame.height -= titleBarHeight;
  return frame;
}

void FakeWindowControl::zoom() {
  if (auto d = liveDelegate(); d && !d->windowShouldZoom()) return;
  if (!zoomed) {
    unzoomedFrame = frameValue;
    frameValue = zoomedFrame;
  } else if (unzoomedFrame) {
    frameValue = *unzoomedFrame;
  }
  zoomed = !zoomed;
  if (auto d = liveDelegate()) d->windowDidResize();
}

void FakeWindowControl::miniaturize() {
  if (miniaturized) return;
  miniaturized = true;
  if (auto d = liveDelegate()) d->windowDidMiniaturize();
}

void FakeWindowControl::deminiaturize() {
  if (!miniaturized) return;
  miniaturized = false;
  if (auto d = liveDelegate()) d->windowDidDeminiaturize();
}

void FakeWindowControl::toggleFullScreen() {
  style ^= window_style::kFullScreen;
  if (auto d = liveDelegate()) {
    if ((style & window_style::kFullScreen) != 0) {
      d->windowDidEnterFullScreen();
    } else {
      d->windowDidExitFullScreen();
    }
  }
}

void FakeWindowControl::makeKeyAndOrderFront() {
  log.push_back("makeKeyAndOrderFront");
  visible = true;
  if (!key) {
    key = true;
    if (auto d = liveDelegate()) {
      d->windowDidBecomeKey();
      d->windowDidBecomeMain();
    }
  }
}

void FakeWindowControl::orderOut() {
  log.push_back("orderOut");
  visible = false;
}

void FakeWindowControl::setIsVisible(bool v) {
  log.push_back(v ? "setIsVisible:true" : "setIsVisible:false");
  visible = v;
}

void FakeWindowControl::performClose() {
  if (auto d = liveDelegate(); d && !d->windowShouldClose()) return;
  closed = true;
  visible = false;
}

bool FakeWindowControl::isButtonHidden(WindowButton button) const {
  return buttonsHidden.at(static_cast<size_t>(button));
}

void FakeWindowControl::setButtonHidden(WindowButton button, bool hidden) {
  buttonsHidden.at(static_cast<size_t>(button)) = hidden;
}

DockProgress& FakeDockTile::installProgressBar() {
  ++installs;
  bar = DockProgress{};
  return *bar;
}

std::shared_ptr<WindowControl> FakeWindowSystem::windowForView(View& v) {
  ++lookups;
  if (view != nullptr && view != &v) return nullptr;
  return window;
}

}  // namespace vellumark::platform::fakes
