#include "output_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace vellumark::sign {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunk = size_t{1} << 20;

std::string errnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

OutputFile::OutputFile(std::string destination) : destination_(std::move(destination)) {
  fs::path dest(destination_);
  fs::path dir = dest.has_parent_path() ? dest.parent_path() : fs::path(".");
  std::string pattern = (dir / ("." + dest.filename().string() + ".XXXXXX")).string();
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) throw OutputError(errnoText("cannot write in " + dir.string(), errno));
  temporary_ = pattern;
  // mkostemp makes 0600; a signed document is an ordinary file (umask applies).
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void OutputFile::write(const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw OutputError(errnoText("cannot write " + temporary_, errno));
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void OutputFile::writeAt(uint64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw OutputError(errnoText("cannot write " + temporary_, errno));
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
}

void OutputFile::commit() {
  if (::fsync(fd_) != 0) throw OutputError(errnoText("cannot write " + temporary_, errno));
  if (::close(fd_) != 0) {
    fd_ = -1;
    throw OutputError(errnoText("cannot write " + temporary_, errno));
  }
  fd_ = -1;
  if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    throw OutputError(errnoText("cannot write " + destination_, errno));
  }
  committed_ = true;
  // The rename itself reaches the disk with its folder.
  fs::path dest(destination_);
  Fd dir{::open(dest.has_parent_path() ? dest.parent_path().c_str() : ".", O_RDONLY | O_DIRECTORY)};
  if (dir.fd >= 0) ::fsync(dir.fd);
}

std::vector<uint8_t> writeUpdatedCopy(const std::string& input, OutputFile& out,
                                      const SignatureUpdate& update) {
  Fd in{::open(input.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) throw OutputError(errnoText("cannot read " + input, errno));
  posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) {
    throw OutputError("SHA-256 is not available");
  }
  std::vector<char> buffer(kChunk);
  uint64_t left = update.originalSize;
  while (left > 0) {
    const ssize_t n =
        ::read(in.fd, buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, kChunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw OutputError(errnoText("cannot read " + input, errno));
    if (n == 0) throw OutputError(input + " changed while it was being signed");
    EVP_DigestUpdate(md.get(), buffer.data(), static_cast<size_t>(n));
    out.write(buffer.data(), static_cast<size_t>(n));
    left -= static_cast<uint64_t>(n);
  }
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != update.originalSize) {
    throw OutputError(input + " changed while it was being signed");
  }
  const std::string& tail = update.bytes;
  const size_t holeBegin = update.holeBeginInUpdate();
  const size_t holeEnd = update.holeEndInUpdate();
  EVP_DigestUpdate(md.get(), tail.data(), holeBegin);
  EVP_DigestUpdate(md.get(), tail.data() + holeEnd, tail.size() - holeEnd);
  out.write(tail.data(), tail.size());
  std::vector<uint8_t> digest(32);
  unsigned int length = 0;
  EVP_DigestFinal_ex(md.get(), digest.data(), &length);
  return digest;
}

std::string contentsHex(const std::vector<uint8_t>& cms, const SignatureUpdate& update) {
  if (2 * cms.size() > update.contentsHexLength) {
    throw OutputError("the signature (" + std::to_string(cms.size()) + " bytes) does not fit the " +
                      std::to_string(update.contentsHexLength / 2) + " bytes reserved for it");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(update.contentsHexLength, '0');
  for (size_t i = 0; i < cms.size(); ++i) {
    hex[2 * i] = kHex[cms[i] >> 4];
    hex[2 * i + 1] = kHex[cms[i] & 15];
  }
  return hex;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) && !error;
}

}  // namespace vellumark::sign
