// Open and save panels, shown modal for the window of a view. Main-thread
// only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/content_types.h"

namespace vellumark::platform {

class View;

enum class ModalResponse { Cancel = 0, OK = 1 };

// A save panel; an OpenPanel adds the choice of several files or folders.
// Settings take effect when the panel is shown.
class SavePanel {
 public:
  virtual ~SavePanel() = default;

  // The folder the panel opens in (a file-system path).
  virtual void setDirectory(const std::string& path) = 0;
  virtual void setShowsHiddenFiles(bool shows) = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setShowsTagField(bool shows) = 0;
  virtual void setCanCreateDirectories(bool can) = 0;
  // The proposed file name.
  virtual void setNameFieldStringValue(const std::string& name) = 0;
  // Files of these types may be chosen; an empty list allows every file.
  virtual void setAllowedContentTypes(std::vector<ContentType> types) = 0;

  // Shows the panel modal for the window that holds `view` and returns at
  // once; `completion` runs once, on the main loop, with the user's answer,
  // and the panel lets go of it then. False, with nothing shown and
  // `completion` dropped, when the view is in no window.
  virtual bool beginSheetModalForView(View* view,
                                      std::function<void(ModalResponse)> completion) = 0;

  // After OK: the chosen file's path, nullopt when there is none.
  virtual std::optional<std::string> path() const = 0;
};

class OpenPanel : public SavePanel {
 public:
  virtual void setAllowsMultipleSelection(bool allows) = 0;
  virtual void setCanChooseDirectories(bool can) = 0;
  virtual void setCanChooseFiles(bool can) = 0;
  // After OK: the chosen paths, in the panel's order.
  virtual std::vector<std::string> paths() const = 0;
};

class FilePanels {
 public:
  virtual ~FilePanels() = default;
  virtual std::shared_ptr<OpenPanel> openPanel() = 0;
  virtual std::shared_ptr<SavePanel> savePanel() = 0;
};

}  // namespace vellumark::platform
