#include "certificate_info.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

namespace vellumark::sign {
namespace {

std::string nameLine(const X509_NAME* name) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio) return {};
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string commonName(const X509_NAME* name) {
  const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (at < 0) return {};
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return out;
}

std::string timeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
  return text;
}

}  // namespace

std::string toHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

CertificateInfo describeCertificate(const std::vector<uint8_t>& der) {
  CertificateInfo info;
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  if (!cert) return info;
  info.parsed = true;
  info.subject = nameLine(X509_get_subject_name(cert.get()));
  info.commonName = commonName(X509_get_subject_name(cert.get()));
  if (info.commonName.empty()) info.commonName = info.subject;
  info.issuer = nameLine(X509_get_issuer_name(cert.get()));
  info.notBefore = timeText(X509_get0_notBefore(cert.get()));
  info.notAfter = timeText(X509_get0_notAfter(cert.get()));
  info.currentlyValid = X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0 &&
                        X509_cmp_current_time(X509_get0_notAfter(cert.get())) > 0;
  std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(
      ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr), BN_free);
  if (serial) {
    char* hex = BN_bn2hex(serial.get());
    if (hex) info.serialHex = hex;
    OPENSSL_free(hex);
  }
  return info;
}

}  // namespace vellumark::sign
