// vellumark-sign's command line and exit statuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vellumark::sign {

// Exit statuses (documented in --help and the README).
inline constexpr int kExitSigned = 0;
inline constexpr int kExitFailed = 1;       // the host or the token could not sign
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitNoHost = 3;       // no host answers and none could be started
inline constexpr int kExitDocument = 4;     // unreadable, not a PDF, encrypted or damaged
inline constexpr int kExitCertificate = 5;  // no signing certificate, or none chosen
inline constexpr int kExitCancelled = 6;    // PIN entry cancelled
inline constexpr int kExitTimeStamp = 7;    // the time-stamp authority failed
inline constexpr int kExitOutput = 8;       // the signed file could not be written

struct Options {
  bool help = false;
  bool version = false;
  bool list = false;
  std::string input;
  std::string output;  // empty: IN-signed.pdf beside the input
  std::optional<std::string> certText;
  std::optional<std::string> keyIdHex;  // lower case, no separators
  std::string reason;
  std::string location;
  std::string contact;
  int page = 1;
  std::string tsaUrl;
};

struct ParseResult {
  Options options;
  std::string error;  // empty on success
};

ParseResult parseOptions(const std::vector<std::string>& args);

// IN-signed.pdf beside IN (the extension .pdf, any case, replaced).
std::string defaultOutputPath(const std::string& input);

std::string usageText();

}  // namespace vellumark::sign
