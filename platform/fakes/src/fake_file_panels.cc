#include "platform_fakes/fake_file_panels.h"

#include <utility>

namespace vellumark::platform::fakes {

namespace {

class FakeTask : public SecTask {
 public:
  FakeTask(std::map<std::string, InfoValue> values, std::shared_ptr<int> live)
      : values_(std::move(values)), live_(std::move(live)) {
    ++*live_;
  }
  ~FakeTask() override { --*live_; }
  FakeTask(const FakeTask&) = delete;
  FakeTask& operator=(const FakeTask&) = delete;

  std::optional<InfoValue> copyValueForEntitlement(const std::string& entitlement) const override {
    auto it = values_.find(entitlement);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, InfoValue> values_;
  std::shared_ptr<int> live_;
};

std::string flag(const char* name, bool value) {
  return std::string(name) + "(" + (value ? "true" : "false") + ")";
}

}  // namespace

std::unique_ptr<SecTask> FakeEntitlements::createTaskFromSelf() {
  if (unavailable) return nullptr;
  ++tasksCreated;
  return std::make_unique<FakeTask>(values, liveTasks);
}

std::optional<ContentType> FakeContentTypes::typeForFilenameExtension(
    const std::string& extension) {
  asked.push_back(extension);
  auto it = registered.find(extension);
  if (it == registered.end()) return std::nullopt;
  return ContentType{it->second};
}

void FakePanel::setDirectory(const std::string& path) {
  calls.push_back("setDirectory(" + path + ")");
}
void FakePanel::setShowsHiddenFiles(bool shows) {
  calls.push_back(flag("setShowsHiddenFiles", shows));
}
void FakePanel::setTitle(const std::string& title) { calls.push_back("setTitle(" + title + ")"); }
void FakePanel::setShowsTagField(bool shows) { calls.push_back(flag("setShowsTagField", shows)); }
void FakePanel::setCanCreateDirectories(bool can) {
  calls.push_back(flag("setCanCreateDirectories", can));
}
void FakePanel::setNameFieldStringValue(const std::string& name) {
  calls.push_back("setNameFieldStringValue(" + name + ")");
}
void FakePanel::setAllowedContentTypes(std::vector<ContentType> types) {
  std::string list;
  for (const auto& type : types) list += (list.empty() ? "" : ",") + type.identifier;
  calls.push_back("setAllowedContentTypes(" + list + ")");
  allowedTypes = std::move(types);
}
void FakePanel::setAllowsMultipleSelection(bool allows) {
  calls.push_back(flag("setAllowsMultipleSelection", allows));
}
void FakePanel::setCanChooseDirectories(bool can) {
  calls.push_back(flag("setCanChooseDirectories", can));
}
void FakePanel::setCanChooseFiles(bool can) { calls.push_back(flag("setCanChooseFiles", can)); }

bool FakePanel::beginSheetModalForView(View* view, std::function<void(ModalResponse)> completion) {
  if (noWindow) return false;
  calls.push_back("beginSheet");
  shownFor = view;
  showing = true;
  completion_ = std::move(completion);
  return true;
}

std::optional<std::string> FakePanel::path() const {
  if (chosen.empty()) return std::nullopt;
  return chosen.front();
}

bool FakePanel::respond(ModalResponse response, std::vector<std::string> choice) {
  if (!showing) return false;
  showing = false;
  chosen = std::move(choice);
  // The completion may hold the last reference to this panel.
  auto completion = std::move(completion_);
  completion_ = nullptr;
  completion(response);
  return true;
}

std::shared_ptr<OpenPanel> FakeFilePanels::openPanel() {
  auto panel = std::make_shared<FakePanel>(FakePanel::Kind::Open);
  panel->noWindow = noWindow;
  made.push_back(panel);
  return panel;
}

std::shared_ptr<SavePanel> FakeFilePanels::savePanel() {
  auto panel = std::make_shared<FakePanel>(FakePanel::Kind::Save);
  panel->noWindow = noWindow;
  made.push_back(panel);
  return panel;
}

}  // namespace vellumark::platform::fakes
