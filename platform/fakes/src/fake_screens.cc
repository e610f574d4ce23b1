#include "platform_fakes/fake_screens.h"

#include <utility>

namespace vellumark::platform::fakes {

std::optional<ScreenInfo> FakeScreens::mainScreen() const {
  if (list.empty()) return std::nullopt;
  if (mainIndex && *mainIndex < list.size()) return list[*mainIndex];
  return list.front();
}

std::shared_ptr<void> FakeScreens::observeScreenParameters(Observer observer) {
  const int id = ++lastId_;
  (*observers_)[id] = std::move(observer);
  std::weak_ptr<ObserverMap> weak = observers_;
  return std::shared_ptr<void>(nullptr, [weak, id](void*) {
    if (auto observers = weak.lock()) observers->erase(id);
  });
}

void FakeScreens::notify() {
  // A copy: an observer may go away while it runs.
  const ObserverMap current = *observers_;
  for (const auto& [id, observer] : current) {
    if (observers_->count(id) != 0) observer();
  }
}

}  // namespace vellumark::platform::fakes
