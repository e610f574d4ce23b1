// Device information: serves "getDeviceInfo" on "kelvarrow/device_info", a
// map of fourteen facts about the machine read afresh on every call from the
// kernel's controls and the device facts. A source that fails gives its
// key's fallback; the call itself never fails.
#pragma once

#include <memory>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/device_facts.h"
#include "platform/sysctl.h"

namespace vellumark {

// Main-thread only.
class DeviceInfoPlusMacosPlugin : public FlutterPlugin {
 public:
  // Creates the channel and the plugin; reads nothing yet.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // Either service may be null: its sources then fail.
  DeviceInfoPlusMacosPlugin(std::shared_ptr<platform::Sysctl> sysctl,
                            std::shared_ptr<platform::DeviceFacts> facts);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

  // The fourteen-key map, in the order its sources are read.
  ChannelMap deviceInfo() const;

 private:
  void getDeviceInfo(const MethodResult& result) const;

  std::shared_ptr<platform::Sysctl> sysctl_;
  std::shared_ptr<platform::DeviceFacts> facts_;
};

}  // namespace vellumark
