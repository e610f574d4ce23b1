#include "sign_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <variant>

#include "certificate_info.h"
#include "cms_signature.h"
#include "host_session.h"
#include "output_file.h"
#include "pdf_update.h"
#include "sign_options.h"
#include "time_stamp.h"
#include "token_certificates.h"

#ifndef VELLUMARK_SIGN_VERSION
#define VELLUMARK_SIGN_VERSION "0"
#endif

namespace vellumark::sign {
namespace {

constexpr char kProgram[] = "vellumark-sign";
constexpr char kUserCancelled[] = "USER_CANCELLED";
// Room in /Contents beyond the certificates: the signature (up to RSA-4096),
// the signed attributes and the CMS framing, with margin.
constexpr size_t kContentsBase = 8192;
// A time-stamp token carries the authority's certificates.
constexpr size_t kTimeStampReserve = 32768;

// What the signal handler undoes; written before the signal can matter.
char gTemporaryPath[4096];
volatile sig_atomic_t gStartedHost = -1;

struct Candidate {
  Bytes keyId;
  Bytes der;
  CertificateInfo info;
  std::string token;
};

struct Failure {
  int status;
  std::string message;
};

const Bytes* bytesAt(const ChannelMap& map, const char* key) {
  const ChannelValue* value = map.find(key);
  return value ? value->asBytes() : nullptr;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<Candidate> listCandidates(HostSession& host,
                                      const std::vector<TokenCertificate>& pool) {
  host.callRepeatable("initialize", ChannelValue());
  ChannelValue listed =
      host.call("getCertificates", ChannelValue(ChannelMap{{"onlyForSigning", true}}));
  std::vector<Candidate> out;
  if (!listed.asList()) throw HostError("the host's certificate list is not a list");
  for (const ChannelValue& record : *listed.asList()) {
    const ChannelMap* map = record.asMap();
    const Bytes* keyId = map ? bytesAt(*map, "keyId") : nullptr;
    const Bytes* der = map ? bytesAt(*map, "derData") : nullptr;
    if (!keyId || !der) continue;
    Candidate c{*keyId, *der, describeCertificate(*der), "?"};
    if (!c.info.parsed) continue;
    for (const TokenCertificate& t : pool) {
      if (t.der == c.der) {
        c.token = t.token;
        break;
      }
    }
    out.push_back(std::move(c));
  }
  return out;
}

void printCandidates(const std::vector<Candidate>& list, std::ostream& out) {
  for (size_t i = 0; i < list.size(); ++i) {
    const Candidate& c = list[i];
    out << "  " << (i + 1) << ") " << c.info.commonName << "\n"
        << "     subject  " << c.info.subject << "\n"
        << "     issuer   " << c.info.issuer << "\n"
        << "     valid    " << c.info.notBefore << " to " << c.info.notAfter
        << (c.info.currentlyValid ? "" : "  (NOT VALID NOW)") << "\n"
        << "     token    " << c.token << "\n"
        << "     key id   " << toHex(c.keyId) << "\n";
  }
}

std::variant<Candidate, Failure> choose(std::vector<Candidate> list, const Options& o,
                                        const Environment& env, std::istream& in,
                                        std::ostream& err) {
  if (list.empty()) {
    return Failure{kExitCertificate,
                   "no signing certificate found: insert the smart card (and check that its "
                   "middleware is registered with p11-kit)"};
  }
  std::erase_if(list, [&](const Candidate& c) {
    if (o.keyIdHex && toHex(c.keyId) != *o.keyIdHex) return true;
    if (o.certText) {
      const std::string want = lower(*o.certText);
      return lower(c.info.subject).find(want) == std::string::npos &&
             lower(c.info.commonName).find(want) == std::string::npos;
    }
    return false;
  });
  if (list.empty()) {
    return Failure{kExitCertificate, "no signing certificate matches --cert/--key-id (see --list)"};
  }
  if (list.size() == 1) return std::move(list.front());
  if (!env.interactive) {
    err << kProgram << ": several signing certificates are present:\n";
    printCandidates(list, err);
    return Failure{kExitCertificate, "choose one with --cert TEXT or --key-id HEX"};
  }
  err << "Several signing certificates are present:\n";
  printCandidates(list, err);
  for (;;) {
    err << "Sign with which one? [1-" << list.size() << "] " << std::flush;
    std::string line;
    if (!std::getline(in, line)) return Failure{kExitCertificate, "no certificate chosen"};
    size_t pick = 0;
    try {
      pick = std::stoul(line);
    } catch (const std::exception&) {
      pick = 0;
    }
    if (pick >= 1 && pick <= list.size()) return std::move(list[pick - 1]);
  }
}

int fail(std::ostream& err, int status, const std::string& message) {
  err << kProgram << ": " << message << "\n";
  return status;
}

int signDocument(const Options& o, const Environment& env, std::istream& in, std::ostream& out,
                 std::ostream& err) {
  SignatureFields fields;
  fields.page = o.page;
  fields.signingTime = pdfDate(std::time(nullptr));
  fields.reason = o.reason;
  fields.location = o.location;
  fields.contact = o.contact;
  // The document is judged before anyone is asked for a card.
  try {
    prepareSignatureUpdate(o.input, fields);
  } catch (const DocumentError& e) {
    return fail(err, kExitDocument, e.what());
  }
  if (sameFile(o.input, o.output)) {
    return fail(err, kExitOutput, "the output " + o.output + " would replace the input");
  }
  try {
    const std::vector<TokenCertificate> pool = readTokenCertificates();
    HostSession host(env.socketPath, env.hostProgram);
    gStartedHost = host.startedHost();
    auto chosen = choose(listCandidates(host, pool), o, env, in, err);
    if (auto* failure = std::get_if<Failure>(&chosen))
      return fail(err, failure->status, failure->message);
    const Candidate& signer = std::get<Candidate>(chosen);
    if (!signer.info.currentlyValid) {
      err << kProgram << ": warning: the certificate \"" << signer.info.commonName
          << "\" is not valid now (" << signer.info.notBefore << " to " << signer.info.notAfter
          << ")\n";
    }
    const std::vector<Bytes> chain = issuerChain(signer.der, pool);

    fields.contentsSize =
        kContentsBase + signer.der.size() + (o.tsaUrl.empty() ? 0 : kTimeStampReserve);
    for (const Bytes& c : chain) fields.contentsSize += c.size();
    const SignatureUpdate update = prepareSignatureUpdate(o.input, fields);

    OutputFile output(o.output);
    std::strncpy(gTemporaryPath, output.temporaryPath().c_str(), sizeof gTemporaryPath - 1);
    const Bytes digest = writeUpdatedCopy(o.input, output, update);
    CmsSignature cms(signer.der, chain, digest);

    ChannelMap args{{"keyId", ChannelValue::bytes(signer.keyId)},
                    {"hash", ChannelValue::bytes(cms.signedAttributesDigest())},
                    {"certDer", ChannelValue::bytes(signer.der)}};
    // A person may be typing a PIN: no time limit.
    ChannelValue signature =
        host.call("signBytes", ChannelValue(std::move(args)), bridge::BridgeClient::kNoTimeout);
    if (!signature.asBytes()) throw HostError("\"signBytes\" answered no signature");
    cms.setSignature(*signature.asBytes());
    if (!o.tsaUrl.empty()) {
      try {
        cms.addTimeStampToken(requestTimeStamp(o.tsaUrl, cms.signature()));
      } catch (const TimeStampError& e) {
        return fail(err, kExitTimeStamp, e.what());
      }
    }
    const std::string hex = contentsHex(cms.der(), update);
    output.writeAt(update.contentsOffset, hex.data(), hex.size());
    output.commit();
    gTemporaryPath[0] = '\0';
    out << "Signed " << o.input << " as " << o.output << "\n"
        << "  signer     " << signer.info.commonName << " (" << signer.token << ")\n"
        << "  field      " << update.fieldName << " on page " << o.page << "\n"
        << "  level      PAdES baseline " << (o.tsaUrl.empty() ? "B-B" : "B-T (time-stamped)")
        << "\n";
    return kExitSigned;
  } catch (const HostCallError& e) {
    if (e.code() == kUserCancelled)
      return fail(err, kExitCancelled, "PIN entry was cancelled; nothing was written");
    return fail(err, kExitFailed, "the host could not sign (" + e.code() + "): " + e.message());
  } catch (const HostError& e) {
    return fail(err, kExitNoHost, e.what());
  } catch (const DocumentError& e) {
    return fail(err, kExitDocument, e.what());
  } catch (const CmsError& e) {
    return fail(err, kExitFailed, e.what());
  } catch (const OutputError& e) {
    return fail(err, kExitOutput, e.what());
  }
}

int listOnly(const Environment& env, std::ostream& out, std::ostream& err) {
  try {
    const std::vector<TokenCertificate> pool = readTokenCertificates();
    HostSession host(env.socketPath, env.hostProgram);
    gStartedHost = host.startedHost();
    const std::vector<Candidate> list = listCandidates(host, pool);
    if (list.empty()) {
      out << "No signing certificates.\n";
    } else {
      out << "Signing certificates:\n";
      printCandidates(list, out);
    }
    return kExitSigned;
  } catch (const HostCallError& e) {
    return fail(err, kExitFailed,
                "the host could not list certificates (" + e.code() + "): " + e.message());
  } catch (const HostError& e) {
    return fail(err, kExitNoHost, e.what());
  }
}

}  // namespace

void cleanUpAfterSignal() {
  if (gTemporaryPath[0] != '\0') unlink(gTemporaryPath);
  if (gStartedHost > 0) kill(static_cast<pid_t>(gStartedHost), SIGTERM);
}

int run(const std::vector<std::string>& args, const Environment& env, std::istream& in,
        std::ostream& out, std::ostream& err) {
  const ParseResult parsed = parseOptions(args);
  if (!parsed.error.empty()) {
    err << kProgram << ": " << parsed.error << "\n(" << kProgram << " --help shows the usage)\n";
    return kExitUsage;
  }
  const Options& o = parsed.options;
  if (o.help) {
    out << usageText();
    return kExitSigned;
  }
  if (o.version) {
    out << kProgram << " " << VELLUMARK_SIGN_VERSION << "\n";
    return kExitSigned;
  }
  const int status = o.list ? listOnly(env, out, err) : signDocument(o, env, in, out, err);
  gStartedHost = -1;
  return status;
}

}  // namespace vellumark::sign
