// A small DER walker over X.509 certificates, for the certificates OpenSSL
// refuses for an encoding fault in a field we do not need (OpenSSL 3 refuses
// a serial number with a needless leading zero byte, GnuTLS and cards'
// issuers do not), and the DER of an RSA public key.
#include "p11_internal.h"

namespace vellumark::linux_platform::p11 {
namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kVersionTag = 0xA0;  // [0] EXPLICIT

// One element: its tag, its whole encoding and its content.
struct Element {
  uint8_t tag = 0;
  const uint8_t* begin = nullptr;
  const uint8_t* content = nullptr;
  const uint8_t* end = nullptr;

  Bytes whole() const { return Bytes(begin, end); }
};

// Reads the element at `at`, moving `at` past it. Definite lengths only, as
// DER has; lengths are checked against what is left.
bool next(const uint8_t*& at, const uint8_t* limit, Element& element) {
  if (at >= limit) return false;
  element.begin = at;
  element.tag = *at++;
  if ((element.tag & 0x1F) == 0x1F || at >= limit) return false;  // no multi-byte tags here
  size_t length = *at++;
  if (length & 0x80) {
    size_t count = length & 0x7F;
    if (count == 0 || count > sizeof(size_t) || static_cast<size_t>(limit - at) < count) {
      return false;
    }
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | *at++;
  }
  if (length > static_cast<size_t>(limit - at)) return false;
  element.content = at;
  element.end = at + length;
  at = element.end;
  return true;
}

bool expect(const uint8_t*& at, const uint8_t* limit, uint8_t tag, Element& element) {
  return next(at, limit, element) && element.tag == tag;
}

void appendLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  Bytes digits;
  for (; length > 0; length >>= 8) digits.insert(digits.begin(), static_cast<uint8_t>(length));
  out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

// A non-negative INTEGER from big-endian bytes, minimally encoded.
void appendUnsignedInteger(Bytes& out, const Bytes& value) {
  size_t first = 0;
  while (first < value.size() && value[first] == 0) ++first;
  Bytes content(value.begin() + static_cast<std::ptrdiff_t>(first), value.end());
  if (content.empty() || (content.front() & 0x80)) content.insert(content.begin(), 0);
  out.push_back(kInteger);
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

}  // namespace

std::optional<TbsFields> walkCertificate(const Bytes& der) {
  const uint8_t* at = der.data();
  const uint8_t* limit = der.data() + der.size();
  Element certificate, tbs;
  if (!expect(at, limit, kSequence, certificate)) return std::nullopt;
  at = certificate.content;
  if (!expect(at, certificate.end, kSequence, tbs)) return std::nullopt;

  at = tbs.content;
  Element element;
  TbsFields fields;
  if (!next(at, tbs.end, element)) return std::nullopt;
  if (element.tag == kVersionTag && !next(at, tbs.end, element)) return std::nullopt;
  if (element.tag != kInteger) return std::nullopt;
  fields.serialContent.assign(element.content, element.end);
  if (!expect(at, tbs.end, kSequence, element)) return std::nullopt;  // signature algorithm
  if (!expect(at, tbs.end, kSequence, element)) return std::nullopt;
  fields.issuer = element.whole();
  Element validity;
  if (!expect(at, tbs.end, kSequence, validity)) return std::nullopt;
  const uint8_t* inner = validity.content;
  for (Bytes* time : {&fields.notBefore, &fields.notAfter}) {
    if (!next(inner, validity.end, element) ||
        (element.tag != kUtcTime && element.tag != kGeneralizedTime)) {
      return std::nullopt;
    }
    *time = element.whole();
  }
  if (!expect(at, tbs.end, kSequence, element)) return std::nullopt;
  fields.subject = element.whole();
  if (!expect(at, tbs.end, kSequence, element)) return std::nullopt;
  fields.publicKeyInfo = element.whole();
  return fields;
}

Bytes rsaPublicKeyDer(const Bytes& modulus, const Bytes& exponent) {
  Bytes content;
  appendUnsignedInteger(content, modulus);
  appendUnsignedInteger(content, exponent);
  Bytes out{kSequence};
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

}  // namespace vellumark::linux_platform::p11
