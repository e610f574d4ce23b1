// Ed25519 signatures of update archives, checked against the bundle's
// SUPublicEDKey (both base64). Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark::linux_platform::update {

// Strict standard base64 (padding required, whitespace ignored); nullopt
// for anything else.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text);

// True when `signature` is a valid Ed25519 signature of the file at `path`
// by `publicKey`; false with `error` set otherwise.
bool verifyFileSignature(const std::string& path, const std::string& publicKey,
                         const std::string& signature, std::string* error);

}  // namespace vellumark::linux_platform::update
