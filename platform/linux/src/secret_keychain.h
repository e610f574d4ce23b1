// The keychain on the Secret Service (GNOME Keyring, KWallet, KeePassXC)
// through libsecret: one schema of ours, every keychain attribute an item
// attribute, the data the item's secret, new items in the default
// collection. The enclave's keys are key items of the same store, and
// protected data is available while the default collection is unlocked.
//
// Nothing connects to D-Bus until the first call. Keychain calls come from
// one worker thread at a time; availability changes are reported on the
// GLib main context, where libsecret delivers the collection's signals.
#pragma once

#include <memory>

#include "platform/keychain.h"

namespace vellumark::linux_platform {

std::shared_ptr<platform::KeychainServices> createSecretKeychainServices();

}  // namespace vellumark::linux_platform
