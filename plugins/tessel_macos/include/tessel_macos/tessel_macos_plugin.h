// The signing plugin: serves the "tessel_macos" channel, through which the UI
// asks whether a token is present, lists token certificates and gets raw RSA
// signatures over digests it computed itself. Main-thread only; a signature
// request blocks the main thread while the token works and its PIN dialog is
// open.
#pragma once

#include <memory>
#include <optional>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/tokens.h"

namespace vellumark {

namespace tessel {
class CtkTokenManager;
}  // namespace tessel

class TesselMacosPlugin : public FlutterPlugin {
 public:
  // Creates the plugin and its channel and installs it as the call delegate.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  TesselMacosPlugin(std::shared_ptr<platform::TokenService> tokens,
                    std::shared_ptr<FlutterMethodChannel> channel);
  ~TesselMacosPlugin() override;

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

 private:
  void initialize(const MethodResult& result);
  void dispose(const MethodResult& result);
  void isTokenAvailable(const MethodResult& result);
  void getCertificates(const MethodCall& call, const MethodResult& result);
  void signData(const MethodCall& call, const MethodResult& result);
  void signBytes(const MethodCall& call, const MethodResult& result);
  void replySignature(const MethodResult& result, const Bytes& digest, const Bytes& keyId,
                      const std::optional<Bytes>& certDer);

  std::shared_ptr<platform::TokenService> tokens_;
  std::shared_ptr<FlutterMethodChannel> channel_;
  // Set by "initialize", cleared by "dispose".
  std::unique_ptr<tessel::CtkTokenManager> tokenManager;
};

}  // namespace vellumark
