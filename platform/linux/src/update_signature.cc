#include "update_signature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vellumark::linux_platform::update {
namespace {

constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;
// Ed25519 signs the whole message at once, so the archive is read whole.
constexpr off_t kMaxArchiveSize = off_t{1} << 31;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

int valueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool readWhole(const std::string& path, std::vector<unsigned char>& out, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "opening " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size > kMaxArchiveSize) {
    *error = "the update archive is too large to verify";
    ::close(fd);
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "reading " + path + ": " + (n == 0 ? "file shrank" : std::strerror(errno));
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return true;
}

}  // namespace

std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text) {
  std::string clean;
  for (char c : text) {
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') clean.push_back(c);
  }
  if (clean.empty() || clean.size() % 4 != 0) return std::nullopt;
  std::vector<unsigned char> out;
  for (size_t i = 0; i < clean.size(); i += 4) {
    const bool last = i + 4 == clean.size();
    std::array<int, 4> v{};
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = clean[i + k];
      if (c == '=' && last && k >= 2) {
        ++pad;
        v[k] = 0;
        continue;
      }
      if (pad > 0) return std::nullopt;  // data after padding
      v[k] = valueOf(c);
      if (v[k] < 0) return std::nullopt;
    }
    const unsigned bits = (static_cast<unsigned>(v[0]) << 18) |
                          (static_cast<unsigned>(v[1]) << 12) | (static_cast<unsigned>(v[2]) << 6) |
                          static_cast<unsigned>(v[3]);
    out.push_back(static_cast<unsigned char>(bits >> 16));
    if (pad < 2) out.push_back(static_cast<unsigned char>((bits >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<unsigned char>(bits & 0xFF));
  }
  return out;
}

bool verifyFileSignature(const std::string& path, const std::string& publicKey,
                         const std::string& signature, std::string* error) {
  auto key = decodeBase64(publicKey);
  if (!key || key->size() != kPublicKeySize) {
    *error = "the application's public update key (SUPublicEDKey) is not a base64 Ed25519 key";
    return false;
  }
  auto sig = decodeBase64(signature);
  if (!sig || sig->size() != kSignatureSize) {
    *error = "the update's signature is not a base64 Ed25519 signature";
    return false;
  }
  std::vector<unsigned char> message;
  if (!readWhole(path, message, error)) return false;

  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    *error = "EVP_DigestVerifyInit: the public update key could not be used";
    return false;
  }
  if (EVP_DigestVerify(ctx.get(), sig->data(), sig->size(), message.data(), message.size()) != 1) {
    *error = "the update's signature does not match the archive";
    return false;
  }
  return true;
}

}  // namespace vellumark::linux_platform::update
