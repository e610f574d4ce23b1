// A signature time-stamp from an RFC 3161 authority over HTTP (libcurl).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumark::sign {

class TimeStampError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Asks `url` to time-stamp `signature` (its SHA-256 is the imprint), with a
// nonce and the authority's certificate requested. The reply must be granted
// and its token must carry exactly this imprint and nonce, and its own
// signature must verify, before the token (DER ContentInfo) is returned.
// Throws TimeStampError.
std::vector<uint8_t> requestTimeStamp(const std::string& url,
                                      const std::vector<uint8_t>& signature);

// The checks above on a reply already received (`reply` is a DER
// TimeStampResp); `request` is the DER TimeStampReq it answers.
std::vector<uint8_t> tokenFromReply(const std::vector<uint8_t>& request,
                                    const std::vector<uint8_t>& reply);

// A DER TimeStampReq for the SHA-256 of `signature`, with a fresh nonce.
std::vector<uint8_t> makeTimeStampRequest(const std::vector<uint8_t>& signature);

}  // namespace vellumark::sign
