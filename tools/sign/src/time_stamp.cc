#include "time_stamp.h"

#include <curl/curl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <memory>

#include "cms_signature.h"

namespace vellumark::sign {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kRequestType[] = "Content-Type: application/timestamp-query";
constexpr char kReplyType[] = "Accept: application/timestamp-reply";
constexpr long kTimeoutSeconds = 60;
constexpr size_t kMaxReply = size_t{1} << 20;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

Bytes sha256Of(const Bytes& data) {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* out = static_cast<Bytes*>(user);
  const size_t n = size * count;
  if (out->size() + n > kMaxReply) return 0;  // aborts the transfer
  out->insert(out->end(), data, data + n);
  return n;
}

}  // namespace

Bytes makeTimeStampRequest(const Bytes& signature) {
  Owned<TS_REQ, TS_REQ_free> req(TS_REQ_new());
  Owned<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free> imprint(TS_MSG_IMPRINT_new());
  Owned<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_new());
  Owned<ASN1_INTEGER, ASN1_INTEGER_free> nonce(nullptr);
  unsigned char random[8];
  if (!req || !imprint || !algorithm || RAND_bytes(random, sizeof random) != 1) {
    throw TimeStampError(opensslError("cannot build the time-stamp request"));
  }
  Owned<BIGNUM, BN_free> n(BN_bin2bn(random, sizeof random, nullptr));
  nonce.reset(BN_to_ASN1_INTEGER(n.get(), nullptr));
  const Bytes digest = sha256Of(signature);
  X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
  if (!nonce || TS_REQ_set_version(req.get(), 1) != 1 ||
      TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
      TS_MSG_IMPRINT_set_msg(imprint.get(), const_cast<unsigned char*>(digest.data()),
                             static_cast<int>(digest.size())) != 1 ||
      TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
      TS_REQ_set_nonce(req.get(), nonce.get()) != 1 || TS_REQ_set_cert_req(req.get(), 1) != 1) {
    throw TimeStampError(opensslError("cannot build the time-stamp request"));
  }
  unsigned char* der = nullptr;
  const int length = i2d_TS_REQ(req.get(), &der);
  if (length <= 0) throw TimeStampError(opensslError("cannot encode the time-stamp request"));
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes tokenFromReply(const Bytes& request, const Bytes& reply) {
  const unsigned char* p = request.data();
  Owned<TS_REQ, TS_REQ_free> req(d2i_TS_REQ(nullptr, &p, static_cast<long>(request.size())));
  p = reply.data();
  Owned<TS_RESP, TS_RESP_free> resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())));
  if (!req) throw TimeStampError("the time-stamp request is not valid");
  if (!resp) throw TimeStampError("the time-stamp authority's reply is not a time-stamp response");
  TS_STATUS_INFO* status = TS_RESP_get_status_info(resp.get());
  const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
  if (granted != TS_STATUS_GRANTED && granted != TS_STATUS_GRANTED_WITH_MODS) {
    throw TimeStampError("the time-stamp authority refused the request (status " +
                         std::to_string(granted) + ")");
  }
  // Version, imprint (the signature value's digest) and nonce must match
  // what was asked; the token's own signature is checked below.
  Owned<TS_VERIFY_CTX, TS_VERIFY_CTX_free> verify(TS_REQ_to_TS_VERIFY_CTX(req.get(), nullptr));
  if (!verify || TS_RESP_verify_response(verify.get(), resp.get()) != 1) {
    throw TimeStampError(opensslError("the time-stamp does not match the signature"));
  }
  PKCS7* token = TS_RESP_get_token(resp.get());
  if (token == nullptr) throw TimeStampError("the time-stamp reply holds no token");
  Owned<BIO, BIO_free_all> content(BIO_new(BIO_s_null()));
  if (PKCS7_verify(token, nullptr, nullptr, nullptr, content.get(), PKCS7_NOVERIFY) != 1) {
    throw TimeStampError(opensslError("the time-stamp token's signature does not verify"));
  }
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(token, &der);
  if (length <= 0) throw TimeStampError(opensslError("cannot encode the time-stamp token"));
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes requestTimeStamp(const std::string& url, const Bytes& signature) {
  const Bytes request = makeTimeStampRequest(signature);
  Owned<CURL, curl_easy_cleanup> curl(curl_easy_init());
  if (!curl) throw TimeStampError("cannot start an HTTP request");
  curl_slist* headers = curl_slist_append(nullptr, kRequestType);
  headers = curl_slist_append(headers, kReplyType);
  Owned<curl_slist, curl_slist_free_all> headerList(headers);
  Bytes reply;
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, request.data());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errorText);
  const CURLcode code = curl_easy_perform(curl.get());
  if (code != CURLE_OK) {
    throw TimeStampError("cannot reach the time-stamp authority " + url + ": " +
                         (errorText[0] ? errorText : curl_easy_strerror(code)));
  }
  long httpStatus = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &httpStatus);
  if (httpStatus != 200) {
    throw TimeStampError("the time-stamp authority answered HTTP " + std::to_string(httpStatus));
  }
  return tokenFromReply(request, reply);
}

}  // namespace vellumark::sign
