// Scripted file panels, entitlements and content types for tests: panels
// record every setting in order and answer when the test says so.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/content_types.h"
#include "platform/entitlements.h"
#include "platform/file_panels.h"

namespace vellumark::platform::fakes {

// Entitlements of a test: `values` is what the task reports; with
// `unavailable` set no task can be had. Counts tasks made and released.
class FakeEntitlements : public Entitlements {
 public:
  std::unique_ptr<SecTask> createTaskFromSelf() override;

  std::map<std::string, InfoValue> values;
  bool unavailable = false;
  int tasksCreated = 0;
  std::shared_ptr<int> liveTasks = std::make_shared<int>(0);
};

// Content types by extension, as a test registers them.
class FakeContentTypes : public ContentTypes {
 public:
  std::optional<ContentType> typeForFilenameExtension(const std::string& extension) override;
  std::map<std::string, std::string> registered{{"pdf", "application/pdf"}, {"txt", "text/plain"}};
  std::vector<std::string> asked;
};

class FakeFilePanels;

// Both panel kinds; `kind` tells which one the plugin asked for.
class FakePanel : public OpenPanel {
 public:
  enum class Kind { Open, Save };
  explicit FakePanel(Kind panelKind) : kind(panelKind) {}

  void setDirectory(const std::string& path) override;
  void setShowsHiddenFiles(bool shows) override;
  void setTitle(const std::string& title) override;
  void setShowsTagField(bool shows) override;
  void setCanCreateDirectories(bool can) override;
  void setNameFieldStringValue(const std::string& name) override;
  void setAllowedContentTypes(std::vector<ContentType> types) override;
  void setAllowsMultipleSelection(bool allows) override;
  void setCanChooseDirectories(bool can) override;
  void setCanChooseFiles(bool can) override;
  bool beginSheetModalForView(View* view, std::function<void(ModalResponse)> completion) override;
  std::optional<std::string> path() const override;
  std::vector<std::string> paths() const override { return chosen; }

  // Answers the panel as a user would; false when it is not showing.
  bool respond(ModalResponse response, std::vector<std::string> choice = {});

  Kind kind;
  // "setShowsHiddenFiles(false)", ... in call order.
  std::vector<std::string> calls;
  std::optional<std::vector<ContentType>> allowedTypes;
  std::vector<std::string> chosen;
  View* shownFor = nullptr;
  bool showing = false;
  // The view is in no window: beginning the sheet fails.
  bool noWindow = false;

 private:
  std::function<void(ModalResponse)> completion_;
};

class FakeFilePanels : public FilePanels {
 public:
  std::shared_ptr<OpenPanel> openPanel() override;
  std::shared_ptr<SavePanel> savePanel() override;

  // Every panel made, in order; weak, so a test sees them go.
  std::vector<std::weak_ptr<FakePanel>> made;
  // Applied to each new panel.
  bool noWindow = false;
  // The last panel made, or null when it has gone.
  std::shared_ptr<FakePanel> last() const { return made.empty() ? nullptr : made.back().lock(); }
};

}  // namespace vellumark::platform::fakes
