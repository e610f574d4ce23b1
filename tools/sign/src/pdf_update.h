// The incremental update that adds a signature to a PDF: read with libqpdf,
// written by hand after the untouched original bytes (ISO 32000-1 7.5.6), so
// earlier signatures keep covering exactly what they covered.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vellumark::sign {

// A document that cannot be signed: unreadable, not a PDF, encrypted,
// damaged, or locked by a certification signature.
class DocumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SignatureFields {
  int page = 1;             // 1-based; the invisible widget's page
  std::string signingTime;  // /M, a PDF date ("D:20250101120000+00'00'")
  std::string reason;       // UTF-8; empty ones are left out
  std::string location;
  std::string contact;
  size_t contentsSize = 0;  // bytes reserved for the DER CMS in /Contents
};

// The section appended to the original, with /Contents still zeros.
struct SignatureUpdate {
  uint64_t originalSize = 0;
  std::string bytes;                    // everything after the original bytes
  uint64_t contentsOffset = 0;          // file offset of the first hex digit inside < >
  size_t contentsHexLength = 0;         // 2 * contentsSize
  std::array<uint64_t, 4> byteRange{};  // [0, '<' offset, after '>', rest]
  std::string fieldName;

  // Where the hole (the hex string with its < >) starts and ends in bytes.
  size_t holeBeginInUpdate() const { return contentsOffset - 1 - originalSize; }
  size_t holeEndInUpdate() const { return holeBeginInUpdate() + contentsHexLength + 2; }
};

// Reads `path` and prepares the update. Throws DocumentError.
SignatureUpdate prepareSignatureUpdate(const std::string& path, const SignatureFields& fields);

// A PDF text string for UTF-8 text: a literal string when it is printable
// ASCII, else UTF-16BE with a byte-order mark as a hex string.
std::string pdfTextString(const std::string& utf8);

// "D:YYYYMMDDHHmmSS+00'00'" for a time in seconds since 1970, in UTC.
std::string pdfDate(int64_t secondsSince1970);

}  // namespace vellumark::sign
