#include "key_usage.h"

#include <algorithm>
#include <cstddef>

namespace vellumark::tessel {

namespace {

constexpr uint8_t kBooleanTag = 0x01;
constexpr uint8_t kIntegerTag = 0x02;
constexpr uint8_t kBitStringTag = 0x03;
constexpr uint8_t kOctetStringTag = 0x04;
constexpr uint8_t kOidTag = 0x06;
constexpr uint8_t kSequenceTag = 0x30;
constexpr uint8_t kVersionTag = 0xA0;          // [0] EXPLICIT
constexpr uint8_t kIssuerUniqueIdTag = 0x81;   // [1] IMPLICIT BIT STRING
constexpr uint8_t kSubjectUniqueIdTag = 0x82;  // [2] IMPLICIT BIT STRING
constexpr uint8_t kExtensionsTag = 0xA3;       // [3] EXPLICIT
// Content bytes of the key-usage object identifier 2.5.29.15.
constexpr uint8_t kKeyUsageOid[] = {0x55, 0x1D, 0x0F};
constexpr uint8_t kNonRepudiationBit = 0x40;
// Longer lengths cannot describe a certificate held in memory.
constexpr size_t kMaxLengthBytes = 4;

struct Element {
  uint8_t tag = 0;
  std::span<const uint8_t> content;
};

// Reads DER elements one after another from a span; any fault (truncation,
// indefinite or non-minimal length, multi-byte tag) stops it for good.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : rest_(bytes) {}

  bool atEnd() const { return rest_.empty(); }
  bool failed() const { return failed_; }
  std::optional<uint8_t> peekTag() const {
    if (failed_ || rest_.empty()) return std::nullopt;
    return rest_[0];
  }

  std::optional<Element> next() {
    if (failed_ || rest_.size() < 2) return fail();
    const uint8_t tag = rest_[0];
    if ((tag & 0x1F) == 0x1F) return fail();
    size_t length = rest_[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t count = length & 0x7F;
      if (count == 0 || count > kMaxLengthBytes || rest_.size() < 2 + count) return fail();
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | rest_[2 + i];
      // DER: the shortest form, no leading zero byte.
      if (length < 0x80 || rest_[2] == 0) return fail();
      header += count;
    }
    if (length > rest_.size() - header) return fail();
    Element element{tag, rest_.subspan(header, length)};
    rest_ = rest_.subspan(header + length);
    return element;
  }

  // The next element, which must carry `tag`.
  std::optional<Element> expect(uint8_t tag) {
    auto element = next();
    if (!element || element->tag != tag) return fail();
    return element;
  }

  // Skips the next element when it carries `tag`; false only on a fault.
  bool skipOptional(uint8_t tag) {
    if (peekTag() == tag) return next().has_value();
    return !failed_;
  }

 private:
  std::nullopt_t fail() {
    failed_ = true;
    return std::nullopt;
  }
  std::span<const uint8_t> rest_;
  bool failed_ = false;
};

bool isKeyUsageOid(std::span<const uint8_t> oid) {
  return std::equal(oid.begin(), oid.end(), std::begin(kKeyUsageOid), std::end(kKeyUsageOid));
}

// The bits of a keyUsage extnValue (an OCTET STRING's content holding one BIT
// STRING); nullopt when malformed or empty.
std::optional<std::span<const uint8_t>> keyUsageBits(std::span<const uint8_t> extnValue) {
  Reader reader(extnValue);
  auto bitString = reader.expect(kBitStringTag);
  if (!bitString || !reader.atEnd() || bitString->content.empty()) return std::nullopt;
  const uint8_t unusedBits = bitString->content[0];
  const auto bits = bitString->content.subspan(1);
  if (unusedBits > 7 || (bits.empty() && unusedBits != 0)) return std::nullopt;
  if (bits.empty()) return std::nullopt;
  return bits;
}

// The extensions' content: the SEQUENCE OF Extension inside tbsCertificate's
// [3], or an empty span when it has none. nullopt when malformed.
std::optional<std::span<const uint8_t>> extensionsOf(std::span<const uint8_t> der) {
  Reader certificate(der);
  auto outer = certificate.expect(kSequenceTag);
  if (!outer || !certificate.atEnd()) return std::nullopt;

  Reader fields(outer->content);
  auto tbs = fields.expect(kSequenceTag);
  if (!tbs) return std::nullopt;

  Reader tbsFields(tbs->content);
  if (!tbsFields.skipOptional(kVersionTag)) return std::nullopt;
  for (uint8_t tag : {kIntegerTag,      // serialNumber
                      kSequenceTag,     // signature
                      kSequenceTag,     // issuer
                      kSequenceTag,     // validity
                      kSequenceTag,     // subject
                      kSequenceTag}) {  // subjectPublicKeyInfo
    if (!tbsFields.expect(tag)) return std::nullopt;
  }
  if (!tbsFields.skipOptional(kIssuerUniqueIdTag) || !tbsFields.skipOptional(kSubjectUniqueIdTag)) {
    return std::nullopt;
  }
  if (tbsFields.atEnd()) return std::span<const uint8_t>();
  auto wrapper = tbsFields.expect(kExtensionsTag);
  if (!wrapper || !tbsFields.atEnd()) return std::nullopt;

  Reader inner(wrapper->content);
  auto extensions = inner.expect(kSequenceTag);
  if (!extensions || !inner.atEnd()) return std::nullopt;
  return extensions->content;
}

}  // namespace

std::optional<std::span<const uint8_t>> findKeyUsageBits(std::span<const uint8_t> der) {
  const auto extensions = extensionsOf(der);
  if (!extensions) return std::nullopt;

  std::optional<std::span<const uint8_t>> found;
  bool seen = false;
  Reader list(*extensions);
  while (!list.atEnd()) {
    auto extension = list.expect(kSequenceTag);
    if (!extension) return std::nullopt;
    Reader fields(extension->content);
    auto oid = fields.expect(kOidTag);
    if (!oid) return std::nullopt;
    if (fields.peekTag() == kBooleanTag) {
      auto critical = fields.next();
      if (!critical || critical->content.size() != 1) return std::nullopt;
    }
    auto value = fields.expect(kOctetStringTag);
    if (!value || !fields.atEnd()) return std::nullopt;
    if (!isKeyUsageOid(oid->content)) continue;
    // An extension may appear only once; two disagreeing copies decide nothing.
    if (seen) return std::nullopt;
    seen = true;
    found = keyUsageBits(value->content);
  }
  return found;
}

bool keyUsageAssertsNonRepudiation(std::span<const uint8_t> der) {
  const auto bits = findKeyUsageBits(der);
  return bits && ((*bits)[0] & kNonRepudiationBit) != 0;
}

}  // namespace vellumark::tessel
