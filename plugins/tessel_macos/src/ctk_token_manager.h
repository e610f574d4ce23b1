// The token manager: finds token-held signing identities, describes their
// certificates for the UI and signs digests with their private keys. It holds
// no state of its own; every request asks the token service afresh, so one
// manager may be shared by requests made one after another.
// Token-queue thread: its calls block on token I/O and the PIN dialog, so the
// plugin makes them on its token queue, never on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "embedding/channel_value.h"
#include "platform/tokens.h"

namespace vellumark::tessel {

// The plugin's native error: thrown inside the plugin, turned into a channel
// error by the channel handler.
struct CtkError {
  std::string code;
  std::string message;

  bool operator==(const CtkError&) const = default;
};

// One certificate as the UI sees it.
struct QesCertificateData {
  Bytes keyId;
  std::string subjectCN;
  std::string issuerCN;
  std::string serialNumber;
  // Seconds since 1970-01-01T00:00:00Z.
  double notBefore = 0;
  double notAfter = 0;
  Bytes derData;
  bool isForSigning = false;

  // The map the UI receives; isForSigning is not sent.
  ChannelValue toDictionary() const;
};

// Seconds to milliseconds, truncated toward zero and kept inside int64.
int64_t millisecondsSince1970(double seconds);

// "%02X" per byte, no separators.
std::string hexSerialNumber(const Bytes& serial);

class CtkTokenManager {
 public:
  // A null service behaves as one with no token where every query fails.
  explicit CtkTokenManager(std::shared_ptr<platform::TokenService> tokens);

  // The identities of the present tokens (and, unless onlyForSigning, those
  // kept outside tokens), one record per keyId, in token order. Unreadable
  // items are skipped. Throws only what the token service throws.
  std::vector<QesCertificateData> getCertificates(bool onlyForSigning) const;

  // RSASSA-PKCS1-v1_5 over an already computed SHA-256 digest. Throws CtkError.
  Bytes signDigest(const Bytes& digest, const Bytes& keyId,
                   const std::optional<Bytes>& certDer) const;
  std::shared_ptr<platform::Identity> findIdentity(const Bytes& keyId,
                                                   const std::optional<Bytes>& certDer) const;
  std::shared_ptr<platform::Identity> scanIdentities(const Bytes& keyId,
                                                     const std::optional<Bytes>& certDer) const;

 private:
  QesCertificateData makeRecord(platform::Certificate& certificate,
                                const platform::IdentityItem& item, double now) const;
  CtkError osError(int32_t status) const;

  const std::shared_ptr<platform::TokenService> tokens_;
};

// The token service to use for a possibly null one.
std::shared_ptr<platform::TokenService> tokenServiceOrUnavailable(
    std::shared_ptr<platform::TokenService> tokens);

}  // namespace vellumark::tessel
