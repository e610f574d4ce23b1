// The signing plugin: serves the "tessel_macos" channel, through which the UI
// asks whether a token is present, lists token certificates and gets raw RSA
// signatures over digests it computed itself.
//
// The main loop never waits for a token: calls are taken in arrival order on
// the main thread, and a call that needs the token service (token presence,
// listing, signing, with the PIN dialog) has it done on the plugin's own
// serial queue, one at a time; its answer comes back through the main queue.
// A call's turn comes when every earlier call on the channel is answered, so
// replies keep the order of the calls and each call sees the state ("initialize",
// "dispose") left by the calls before it. When the application quits or the
// plugin is destroyed, an open PIN dialog is dismissed and the calls still
// waiting are answered as cancelled.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/task_queue.h"
#include "platform/tokens.h"

namespace vellumark {

namespace tessel {
class CtkTokenManager;
class TokenWorkGate;
}  // namespace tessel

// Main-thread only, created with std::make_shared (completions find it
// through a weak reference).
class TesselMacosPlugin : public FlutterPlugin,
                          public FlutterAppLifecycleDelegate,
                          public std::enable_shared_from_this<TesselMacosPlugin> {
 public:
  // Creates the plugin, its channel and its token queue, installs it as the
  // channel's call delegate and as an application delegate.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `mainQueue` runs tasks on the main thread; `tokenQueue` is a serial queue
  // of the plugin's own, where every token-service call is made (a
  // SerialQueue in the host, whose destructor joins its thread). Without a
  // main queue (only in tests that have none) token work runs inline.
  TesselMacosPlugin(std::shared_ptr<platform::TokenService> tokens,
                    std::shared_ptr<FlutterMethodChannel> channel,
                    std::shared_ptr<platform::TaskQueue> mainQueue,
                    std::shared_ptr<platform::TaskQueue> tokenQueue);
  // Dismisses an open PIN dialog, answers every call not yet answered as
  // cancelled, then waits for the token queue's current job to end.
  ~TesselMacosPlugin() override;

  void handleMethodCall(const MethodCall& call, MethodResult result) override;
  // The host quits: dismiss an open PIN dialog and answer the waiting calls;
  // no token work starts any more.
  void handleWillTerminate() override;

 private:
  struct Waiting {
    MethodCall call;
    MethodResult result;
  };
  // The call whose token work is on the token queue.
  struct InFlight {
    uint64_t job = 0;
    MethodResult result;
    MethodResponse cancelled;
  };
  // Work done on the token queue; it answers, never throws.
  using TokenWork = std::function<MethodResponse()>;

  // Answers or starts the waiting calls, in order, until one is in flight.
  void runWaiting();
  void dispatch(const MethodCall& call, const MethodResult& result);
  void initialize(const MethodResult& result);
  void dispose(const MethodResult& result);
  void isTokenAvailable(const MethodResult& result);
  void getCertificates(const MethodCall& call, const MethodResult& result);
  void signData(const MethodCall& call, const MethodResult& result);
  void signBytes(const MethodCall& call, const MethodResult& result);
  void sign(const MethodResult& result, Bytes digest, Bytes keyId, std::optional<Bytes> certDer);
  // Runs `work` on the token queue and answers with what it gives, or with
  // `cancelled` when the caller has gone or the plugin is shutting down.
  void startTokenWork(const MethodResult& result, MethodResponse cancelled, TokenWork work);
  // Main queue: the token queue finished `job` (nullopt: it was not run).
  void finishTokenWork(uint64_t job, std::optional<MethodResponse> response);
  // Stops token work for good and answers what is pending.
  void cancelAll();

  std::shared_ptr<platform::TokenService> tokens_;
  std::shared_ptr<FlutterMethodChannel> channel_;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  std::shared_ptr<platform::TaskQueue> tokenQueue_;
  std::shared_ptr<tessel::TokenWorkGate> gate_;
  // Set by "initialize", cleared by "dispose". Shared with the token work
  // that was started while it was set (the manager itself holds no state).
  std::shared_ptr<tessel::CtkTokenManager> tokenManager;

  std::deque<Waiting> waiting_;
  std::optional<InFlight> inFlight_;
  uint64_t lastJob_ = 0;
  bool running_ = false;
  bool cancelled_ = false;
};

}  // namespace vellumark
