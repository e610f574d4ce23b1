// In-memory application shell for tests: views, windows and menus that
// record what was done to them, in one shared log so tests can check order.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_shell.h"
#include "platform/task_queue.h"

namespace vellumark::platform::fakes {

// Shared record of shell operations, e.g. "window.setFrame", "view.addSubview".
using ShellLog = std::shared_ptr<std::vector<std::string>>;

// Shared so a child can leave a parent that is already gone.
using SubviewList = std::shared_ptr<std::vector<std::shared_ptr<ShellView>>>;

class FakeImage : public Image {
 public:
  explicit FakeImage(std::string imageName) : name(std::move(imageName)) {}
  std::string name;
};

class FakeShellView : public ShellView, public std::enable_shared_from_this<FakeShellView> {
 public:
  // Animations complete on `queue`.
  FakeShellView(ShellLog log, std::shared_ptr<TaskQueue> queue, Rect frame,
                std::shared_ptr<Image> image = nullptr)
      : log_(std::move(log)), queue_(std::move(queue)), frame_(frame), image_(std::move(image)) {}

  Rect frame() const override { return frame_; }
  void setAutoresizingMask(unsigned mask) override { mask_ = mask; }
  void setBackgroundColor(Color color) override { background_ = color; }
  void addSubview(std::shared_ptr<ShellView> subview) override;
  double alphaValue() const override { return alpha_; }
  void setAlphaValue(double alpha) override { alpha_ = alpha; }
  // Runs on the main queue: the alpha reaches `alpha` after `duration`.
  void animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                         std::function<void()> completion) override;
  void removeFromSuperview() override;

  unsigned autoresizingMask() const { return mask_; }
  const std::optional<Color>& backgroundColor() const { return background_; }
  const std::shared_ptr<Image>& image() const { return image_; }
  const std::vector<std::shared_ptr<ShellView>>& subviews() const { return *subviews_; }
  bool hasSuperview() const { return inSuperview_; }
  bool animating() const { return animating_; }
  // Called by the fake parents.
  void setInSuperview(bool in, std::function<void(ShellView*)> detach);

 private:
  ShellLog log_;
  std::shared_ptr<TaskQueue> queue_;
  Rect frame_;
  std::shared_ptr<Image> image_;
  unsigned mask_ = autoresizing::kNotSizable;
  std::optional<Color> background_;
  double alpha_ = 1.0;
  bool animating_ = false;
  bool inSuperview_ = false;
  std::function<void(ShellView*)> detach_;
  SubviewList subviews_ = std::make_shared<SubviewList::element_type>();
};

class FakeUiView : public UiView {
 public:
  FakeUiView(ShellLog log, Rect bounds) : log_(std::move(log)), bounds_(bounds) {}
  Rect bounds() const override { return bounds_; }
  void addSubview(std::shared_ptr<ShellView> subview) override;
  const std::vector<std::shared_ptr<ShellView>>& subviews() const { return *subviews_; }

 private:
  ShellLog log_;
  Rect bounds_;
  SubviewList subviews_ = std::make_shared<SubviewList::element_type>();
};

class FakeMenu;

class FakeMenuItem : public MenuItem {
 public:
  FakeMenuItem(std::string title, std::string keyEquivalent)
      : title_(std::move(title)), keyEquivalent_(std::move(keyEquivalent)) {}
  std::string title() const override { return title_; }
  std::string keyEquivalent() const override { return keyEquivalent_; }
  Menu* submenu() override;
  void setAction(const std::string& selector, std::function<void()> action) override {
    selector_ = selector;
    action_ = std::move(action);
  }

  // Opens (and returns) a submenu.
  FakeMenu& addSubmenu();
  const std::string& selector() const { return selector_; }
  bool hasAction() const { return static_cast<bool>(action_); }
  // Chooses the item; false when it has no action.
  bool perform() const;

 private:
  std::string title_;
  std::string keyEquivalent_;
  std::unique_ptr<FakeMenu> submenu_;
  std::string selector_;
  std::function<void()> action_;
};

class FakeMenu : public Menu {
 public:
  size_t numberOfItems() const override { return items_.size(); }
  MenuItem* itemAtIndex(size_t index) override {
    return index < items_.size() ? items_[index].get() : nullptr;
  }
  FakeMenuItem& addItem(std::string title, std::string keyEquivalent = "");
  FakeMenuItem& item(size_t index) { return *items_.at(index); }

 private:
  std::vector<std::unique_ptr<FakeMenuItem>> items_;
};

class FakeWindow : public Window {
 public:
  FakeWindow(ShellLog log, Rect frame) : log_(std::move(log)), frame_(frame) {}
  Rect frame() const override;
  void setFrame(Rect frame, bool display) override;
  void setContentView(UiView& view) override;
  void setBackgroundColor(Color color) override;
  void setOpaque(bool opaque) override;

  UiView* contentView() const { return content_; }
  const std::optional<Color>& backgroundColor() const { return background_; }
  bool opaque() const { return opaque_; }
  // What setContentView does to the frame (AppKit resizes the window to the
  // content's size); null keeps it.
  std::optional<Rect> frameAfterSetContent;

 private:
  ShellLog log_;
  Rect frame_;
  UiView* content_ = nullptr;
  std::optional<Color> background_;
  bool opaque_ = false;
};

class FakeApplication : public Application {
 public:
  // Views it makes complete their animations on `mainQueue`.
  explicit FakeApplication(std::shared_ptr<TaskQueue> mainQueue,
                           ShellLog log = std::make_shared<std::vector<std::string>>(),
                           Rect uiBounds = {0, 0, 800, 600});

  Menu* mainMenu() override { return mainMenu_.get(); }
  std::shared_ptr<Image> imageNamed(const std::string& name) override;
  std::unique_ptr<UiView> makeUiView() override;
  std::shared_ptr<ShellView> makeView(Rect frame) override;
  std::shared_ptr<ShellView> makeImageView(std::shared_ptr<Image> image, Rect frame) override;
  void terminate(int status) override;

  const ShellLog& log() const { return log_; }
  // Creates (or returns) the main menu.
  FakeMenu& addMainMenu();
  // Image names that imageNamed() finds.
  std::vector<std::string> images{"AppIcon"};
  // The last UI view made; valid while its owner keeps it.
  FakeUiView* lastUiView() const { return lastUiView_; }
  std::optional<int> terminatedWith() const { return terminated_; }

 private:
  std::shared_ptr<TaskQueue> mainQueue_;
  ShellLog log_;
  Rect uiBounds_;
  std::unique_ptr<FakeMenu> mainMenu_;
  FakeUiView* lastUiView_ = nullptr;
  std::optional<int> terminated_;
};

}  // namespace vellumark::platform::fakes
