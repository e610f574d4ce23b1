// The token backend lives in a module of the bundle (lib/vellumark_tokens.so)
// loaded on the first token call: it pulls in OpenSSL and p11-kit, whose
// loading alone costs start-up about 2 MiB of memory that most runs never use.
#pragma once

#include <memory>
#include <string>

#include "platform/tokens.h"

namespace vellumark {

inline constexpr char kTokenModuleFile[] = "lib/vellumark_tokens.so";
inline constexpr char kTokenModuleEntry[] = "vellumark_create_token_service";

// The module's entry: fills `out` with a new token service, or leaves it null.
using TokenModuleEntry = void (*)(std::shared_ptr<platform::TokenService>* out);

// Loads the module at `path` (kept loaded for the process's life, since the
// service's code lives there) and makes its token service. Null with
// `error` set when the module or its entry is missing or it makes none.
std::shared_ptr<platform::TokenService> loadTokenModule(const std::string& path,
                                                        std::string* error);

}  // namespace vellumark
