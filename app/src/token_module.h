// The token backend lives in a module of the bundle (lib/vellumark_tokens.so)
// loaded on the first token call: it pulls in OpenSSL and p11-kit, whose
// loading alone costs start-up about 2 MiB of memory that most runs never use.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/tokens.h"

namespace vellumark {

inline constexpr char kTokenModuleFile[] = "lib/vellumark_tokens.so";
// Versioned: a module built for another entry signature is refused, not called.
inline constexpr char kTokenModuleEntry[] = "vellumark_create_token_service_2";

// What the app tells the token backend.
struct TokenModuleOptions {
  // The main window's X window id in hexadecimal, for the PIN dialog to be
  // transient for it; empty when unknown. Called from the token worker
  // thread, so it must not touch GTK there.
  std::function<std::string()> parentWindowId;
};

// The module's entry: fills `out` with a new token service, or leaves it null.
using TokenModuleEntry = void (*)(const TokenModuleOptions& options,
                                  std::shared_ptr<platform::TokenService>* out);

// Loads the module at `path` (kept loaded for the process's life, since the
// service's code lives there) and makes its token service. Null with
// `error` set when the module or its entry is missing or it makes none.
std::shared_ptr<platform::TokenService> loadTokenModule(const std::string& path,
                                                        const TokenModuleOptions& options,
                                                        std::string* error);

}  // namespace vellumark
