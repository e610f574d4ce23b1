#include "platform_fakes/fake_app_shell.h"

#include <algorithm>

namespace vellumark::platform::fakes {

namespace {

void record(const ShellLog& log, std::string entry) {
  if (log) log->push_back(std::move(entry));
}

void adopt(const SubviewList& subviews, const std::shared_ptr<ShellView>& subview) {
  auto* fake = dynamic_cast<FakeShellView*>(subview.get());
  if (fake != nullptr) {
    fake->setInSuperview(true, [weak = std::weak_ptr(subviews)](ShellView* child) {
      if (auto list = weak.lock()) {
        std::erase_if(*list, [child](const auto& v) { return v.get() == child; });
      }
    });
  }
  subviews->push_back(subview);
}

}  // namespace

void FakeShellView::addSubview(std::shared_ptr<ShellView> subview) {
  record(log_, "view.addSubview");
  adopt(subviews_, subview);
}

void FakeShellView::animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                                      std::function<void()> completion) {
  record(log_, "view.animateAlpha");
  animating_ = true;
  std::weak_ptr<FakeShellView> weak = weak_from_this();
  queue_->postAfter(duration, [weak, alpha, completion = std::move(completion)] {
    if (auto self = weak.lock()) {
      self->alpha_ = alpha;
      self->animating_ = false;
    }
    if (completion) completion();
  });
}

void FakeShellView::removeFromSuperview() {
  record(log_, "view.removeFromSuperview");
  if (!inSuperview_) return;
  inSuperview_ = false;
  // The parent's list may hold the last reference to this view.
  auto keep = shared_from_this();
  auto detach = std::move(detach_);
  detach_ = nullptr;
  if (detach) detach(this);
}

void FakeShellView::setInSuperview(bool in, std::function<void(ShellView*)> detach) {
  inSuperview_ = in;
  detach_ = std::move(detach);
}

void FakeUiView::addSubview(std::shared_ptr<ShellView> subview) {
  record(log_, "uiView.addSubview");
  adopt(subviews_, subview);
}

Menu* FakeMenuItem::submenu() { return submenu_.get(); }

FakeMenu& FakeMenuItem::addSubmenu() {
  if (!submenu_) submenu_ = std::make_unique<FakeMenu>();
  return *submenu_;
}

bool FakeMenuItem::perform() const {
  if (!action_) return false;
  action_();
  return true;
}

FakeMenuItem& FakeMenu::addItem(std::string title, std::string keyEquivalent) {
  items_.push_back(std::make_unique<FakeMenuItem>(std::move(title), std::move(keyEquivalent)));
  return *items_.back();
}

Rect FakeWindow::frame() const {
  record(log_, "window.frame");
  return frame_;
}

void FakeWindow::setFrame(Rect frame, bool display) {
  record(log_, display ? "window.setFrame(display)" : "window.setFrame");
  frame_ = frame;
}

void FakeWindow::setContentView(UiView& view) {
  record(log_, "window.setContentView");
  content_ = &view;
  if (frameAfterSetContent) frame_ = *frameAfterSetContent;
}

void FakeWindow::setBackgroundColor(Color color) {
  record(log_, "window.setBackgroundColor");
  background_ = color;
}

void FakeWindow::setOpaque(bool opaque) {
  record(log_, "window.setOpaque");
  opaque_ = opaque;
}

FakeApplication::FakeApplication(std::shared_ptr<TaskQueue> mainQueue, ShellLog log, Rect uiBounds)
    : mainQueue_(std::move(mainQueue)), log_(std::move(log)), uiBounds_(uiBounds) {}

std::shared_ptr<Image> FakeApplication::imageNamed(const std::string& name) {
  record(log_, "app.imageNamed");
  if (std::find(images.begin(), images.end(), name) == images.end()) return nullptr;
  return std::make_shared<FakeImage>(name);
}

std::unique_ptr<UiView> FakeApplication::makeUiView() {
  record(log_, "app.makeUiView");
  auto view = std::make_unique<FakeUiView>(log_, uiBounds_);
  lastUiView_ = view.get();
  return view;
}

std::shared_ptr<ShellView> FakeApplication::makeView(Rect frame) {
  record(log_, "app.makeView");
  return std::make_shared<FakeShellView>(log_, mainQueue_, frame);
}

std::shared_ptr<ShellView> FakeApplication::makeImageView(std::shared_ptr<Image> image,
                                                          Rect frame) {
  record(log_, "app.makeImageView");
  return std::make_shared<FakeShellView>(log_, mainQueue_, frame, std::move(image));
}

void FakeApplication::terminate(int status) {
  record(log_, "app.terminate");
  terminated_ = status;
}

FakeMenu& FakeApplication::addMainMenu() {
  if (!mainMenu_) mainMenu_ = std::make_unique<FakeMenu>();
  return *mainMenu_;
}

}  // namespace vellumark::platform::fakes
