// The file picker: serves "zorbeline.flutter.plugins.filepicker", on which
// the UI asks the user to choose files, a folder, or where to save a file,
// each in a panel modal for the main window. The process must hold the
// entitlement to read (or, for saving, to write) files the user selects
// before any panel shows. Main-thread only.
#pragma once

#include <memory>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/content_types.h"
#include "platform/entitlements.h"
#include "platform/file_panels.h"

namespace vellumark {

class FilePickerPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `view` is the registrar's view (the panels' parent window is its
  // window); null services make the methods answer as a process without
  // them would: no entitlements to check, no panels, no content types.
  FilePickerPlugin(platform::View* view, std::shared_ptr<platform::Entitlements> entitlements,
                   std::shared_ptr<platform::FilePanels> panels,
                   std::shared_ptr<platform::ContentTypes> contentTypes);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

  bool skipEntitlementsChecks() const { return skipEntitlementsChecks_; }

 private:
  enum class Access { Read, Write };
  // What an open panel lets the user choose.
  struct Choice {
    bool multiple;
    bool directories;
    bool files;
  };

  void pickFiles(const MethodCall& call, const MethodResult& result);
  void getDirectoryPath(const MethodCall& call, const MethodResult& result);
  void pickFileAndDirectoryPaths(const MethodCall& call, const MethodResult& result);
  void saveFile(const MethodCall& call, const MethodResult& result);
  void skipEntitlements(const MethodResult& result);

  // Answers the error and returns false when the process lacks `access`.
  bool checkEntitlement(Access access, const MethodResult& result);
  // An open panel set up for `choice`, after the read entitlement check;
  // null, with `result` answered, when no panel can be had.
  std::shared_ptr<platform::OpenPanel> openPanel(const MethodCall& call, const MethodResult& result,
                                                 Choice choice);
  void applyExtensionFilter(platform::SavePanel& panel, const MethodCall& call);
  // Shows `panel`; `reply` builds the answer after OK.
  void present(std::shared_ptr<platform::SavePanel> panel, const MethodResult& result,
               std::function<ChannelValue()> reply);

  platform::View* view_;
  std::shared_ptr<platform::Entitlements> entitlements_;
  std::shared_ptr<platform::FilePanels> panels_;
  std::shared_ptr<platform::ContentTypes> contentTypes_;
  bool skipEntitlementsChecks_ = false;
};

}  // namespace vellumark
