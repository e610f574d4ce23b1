#include "sign_options.h"

#include <cctype>
#include <charconv>

namespace vellumark::sign {
namespace {

constexpr char kUsage[] =
    R"(Usage: vellumark-sign IN.pdf [-o OUT.pdf] [options]
       vellumark-sign --list

Signs IN.pdf with a smart-card certificate through the Vellumark host
(PAdES baseline B-B, or B-T with --tsa) and writes OUT.pdf (default
IN-signed.pdf). The input is never changed. A running host is used; with
none, one is started from this bundle and stopped afterwards. The PIN is
asked by the host's own PIN dialog.

Options:
  -o, --output OUT     where to write the signed copy
      --cert TEXT      the certificate whose subject contains TEXT
      --key-id HEX     the certificate with this keyId
      --list           list the signing certificates and exit
      --reason TEXT    reason for signing
      --location TEXT  where the document is signed
      --contact TEXT   how to reach the signer
      --page N         page that carries the (invisible) signature field (1)
      --tsa URL        add a signature time-stamp from this RFC 3161 authority
  -h, --help           show this help
      --version        show the version

With several signing certificates and neither --cert nor --key-id, they
are listed and one is asked for on the terminal.

Exit status: 0 signed (or listed), 1 the host or the token could not sign,
2 bad command line, 3 no host available, 4 document refused (unreadable,
not a PDF, encrypted or damaged), 5 no matching signing certificate,
6 PIN entry cancelled, 7 time-stamp authority failed, 8 output not written.
)";

bool isHex(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::string usageText() { return kUsage; }

std::string defaultOutputPath(const std::string& input) {
  std::string stem = input;
  if (stem.size() > 4) {
    std::string ext = stem.substr(stem.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".pdf") stem.resize(stem.size() - 4);
  }
  return stem + "-signed.pdf";
}

ParseResult parseOptions(const std::vector<std::string>& args) {
  ParseResult result;
  Options& o = result.options;
  std::vector<std::string> positional;
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      endOfOptions = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    if (arg.starts_with("--")) {
      if (auto eq = arg.find('='); eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    auto value = [&](std::string& into) {
      if (inlineValue) {
        into = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        result.error = arg + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    auto flag = [&](bool& into) {
      if (inlineValue) {
        result.error = arg + " takes no value";
        return false;
      }
      into = true;
      return true;
    };
    std::string text;
    if (arg == "-h" || arg == "--help") {
      if (!flag(o.help)) return result;
    } else if (arg == "--version") {
      if (!flag(o.version)) return result;
    } else if (arg == "--list") {
      if (!flag(o.list)) return result;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(o.output)) return result;
      if (o.output.empty()) {
        result.error = "--output needs a file name";
        return result;
      }
    } else if (arg == "--cert") {
      if (!value(text)) return result;
      if (text.empty()) {
        result.error = "--cert needs a non-empty text";
        return result;
      }
      o.certText = text;
    } else if (arg == "--key-id") {
      if (!value(text)) return result;
      std::string hex;
      for (char c : text) {
        if (c == ':' || c == ' ') continue;
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (!isHex(hex)) {
        result.error = "--key-id needs hexadecimal bytes, for example 3fa2...";
        return result;
      }
      o.keyIdHex = hex;
    } else if (arg == "--reason") {
      if (!value(o.reason)) return result;
    } else if (arg == "--location") {
      if (!value(o.location)) return result;
    } else if (arg == "--contact") {
      if (!value(o.contact)) return result;
    } else if (arg == "--tsa") {
      if (!value(o.tsaUrl)) return result;
      if (!o.tsaUrl.starts_with("http://") && !o.tsaUrl.starts_with("https://")) {
        result.error = "--tsa needs an http:// or https:// URL";
        return result;
      }
    } else if (arg == "--page") {
      if (!value(text)) return result;
      int page = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), page);
      if (ec != std::errc() || end != text.data() + text.size() || page < 1) {
        result.error = "--page needs a page number from 1";
        return result;
      }
      o.page = page;
    } else {
      result.error = "unknown option: " + arg;
      return result;
    }
  }
  if (o.help || o.version) return result;
  if (o.list) {
    if (!positional.empty()) result.error = "--list takes no document";
    return result;
  }
  if (positional.empty()) {
    result.error = "no document given";
  } else if (positional.size() > 1) {
    result.error = "one document at a time (got " + std::to_string(positional.size()) + ")";
  } else {
    o.input = positional.front();
    if (o.output.empty()) o.output = defaultOutputPath(o.input);
  }
  return result;
}

}  // namespace vellumark::sign
