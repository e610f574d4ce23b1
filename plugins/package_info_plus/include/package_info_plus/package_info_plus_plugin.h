// Package information: serves "getAll" on "kelvarrow/package_info", a map of
// seven facts about the application package (names, identifier, version,
// build, install and update times) read afresh on every call from the main
// bundle and file dates. Absent facts are null, never left out.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/bundle.h"
#include "platform/package_facts.h"

namespace vellumark {

// Main-thread only.
class FPPPackageInfoPlusPlugin : public FlutterPlugin {
 public:
  // Creates the channel and the plugin; reads nothing yet.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // Either service may be null: its facts are then absent.
  FPPPackageInfoPlusPlugin(std::shared_ptr<platform::Bundle> bundle,
                           std::shared_ptr<platform::PackageFacts> facts);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

  // The seven-key map.
  ChannelMap packageInfo() const;
  // Whether the process runs in the application sandbox (its environment
  // names a sandbox container).
  bool isRunningInSandbox() const;
  // Only in the sandbox: the creation date of the user's document folder.
  std::optional<platform::Date> getInstallDate() const;
  // The bundle folder's modification date.
  std::optional<platform::Date> getUpdateDate() const;
  // Milliseconds since 1970 in decimal, the fraction cut off; none for no
  // date, or for one too far from 1970 to count in 64 bits.
  static std::optional<std::string> getTimeMillisStringFromDate(
      const std::optional<platform::Date>& date);

 private:
  void getAll(const MethodResult& result) const;
  ChannelValue infoValue(const char* key) const;

  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<platform::PackageFacts> facts_;
};

}  // namespace vellumark
