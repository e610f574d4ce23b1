// In-memory screens for tests: a list the test edits, a pointer position,
// and a notify() that tells the observers as the platform would after a
// change. Main-thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/screens.h"

namespace vellumark::platform::fakes {

class FakeScreens : public Screens {
 public:
  std::vector<ScreenInfo> screens() const override { return list; }
  size_t screenCount() const override { return list.size(); }
  std::optional<ScreenInfo> mainScreen() const override;
  Point mouseLocation() const override { return mouse; }
  std::shared_ptr<void> observeScreenParameters(Observer observer) override;

  // Runs every observer still registered.
  void notify();
  size_t observerCount() const { return observers_->size(); }

  std::vector<ScreenInfo> list;
  // Index into `list` of the key window's screen; the primary when unset.
  std::optional<size_t> mainIndex;
  Point mouse;

 private:
  using ObserverMap = std::map<int, Observer>;
  std::shared_ptr<ObserverMap> observers_ = std::make_shared<ObserverMap>();
  int lastId_ = 0;
};

}  // namespace vellumark::platform::fakes
