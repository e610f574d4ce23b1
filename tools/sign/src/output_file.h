// The signed copy is written to a temporary file beside its destination and
// renamed over it only when complete: never a half-written file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pdf_update.h"

namespace vellumark::sign {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OutputFile {
 public:
  // Throws OutputError when the destination's folder takes no new file.
  explicit OutputFile(std::string destination);
  // Removes the temporary file unless committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(const void* data, size_t size);
  void writeAt(uint64_t offset, const void* data, size_t size);
  // Flushes to disk and renames over the destination.
  void commit();

  const std::string& temporaryPath() const { return temporary_; }

 private:
  std::string destination_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

// Copies the original `input` (exactly update.originalSize bytes) to `out`,
// then the update, and returns the SHA-256 of the signed byte range: every
// byte but the /Contents hole. The original is streamed, never held whole.
std::vector<uint8_t> writeUpdatedCopy(const std::string& input, OutputFile& out,
                                      const SignatureUpdate& update);

// The /Contents hex string for `cms`, zero-padded to the hole. Throws
// OutputError when it does not fit.
std::string contentsHex(const std::vector<uint8_t>& cms, const SignatureUpdate& update);

// Whether two paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace vellumark::sign
