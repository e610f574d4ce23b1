#include "hostctl.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string_view>

#include "codecs.h"
#include "embedding/bridge_client.h"
#include "embedding/codec.h"
#include "embedding/typed_json.h"

namespace vellumark::hostctl {
namespace {

using bridge::BridgeClient;
using Duration = std::chrono::milliseconds;

constexpr const char* kUsage =
    "usage: hostctl [--socket PATH] [--timeout SECONDS] COMMAND ...   (or --help, --version)\n"
    "  call CHANNEL METHOD [ARGS]          method call; prints the result or the error\n"
    "  send CHANNEL MESSAGE [--codec NAME] basic message; prints the reply\n"
    "  listen CHANNEL [ARGS] [--count N]   event stream; prints one event per line\n"
    "  watch CHANNEL [--count N]           prints the host's calls; answers null\n"
    "  encode VALUE [--method-call|--envelope] [--codec NAME]   prints hex\n"
    "  decode HEX [--method-call|--envelope] [--codec NAME]     prints typed JSON\n"
    "Codecs (--codec): standard; preferences and url_launcher, whose records are\n"
    "written {\"$map\": [[\"$ext\", [TYPE, PAYLOAD]]]}, e.g. the preferences options\n"
    "{\"$map\": [[\"$ext\", [129, [null]]]]}.\n"
    "Values are typed JSON. The socket is --socket, else $VELLUMARK_UI_SOCKET,\n"
    "else $XDG_RUNTIME_DIR/vellumark/ui.sock, else /tmp/vellumark-$UID/ui.sock.\n"
    "--timeout bounds each wait for an answer, an event or a host call (0: no\n"
    "bound). Default: 10 s for an answer, none on tessel_macos (its calls wait\n"
    "for a person); none for events and host calls.\n"
    "Exit: 0 result, 1 error reply, 2 not implemented or bad input, 3 no host,\n"
    "4 timed out.\n";
constexpr const char* kNotImplemented = "not implemented";
// Its calls wait for a person (a PIN, a card): no default bound.
constexpr const char* kSigningChannel = "tessel_macos";
// How often a long wait looks at the stop request.
constexpr Duration kStopCheckInterval{200};

std::atomic<bool> gStop{false};

// Bad command line or bad value: exit 2.
struct UsageError : std::runtime_error {
  explicit UsageError(const std::string& what, bool usage = false)
      : std::runtime_error(what), showUsage(usage) {}
  bool showUsage;
};

// Nothing came within --timeout: exit 4.
struct TimedOut : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string secondsText(Duration d) {
  const auto ms = d.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  std::string text = std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1);
  while (text.back() == '0') text.pop_back();
  return text + " s";
}

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::optional<std::string> socket;
  std::optional<Duration> timeout;
  std::optional<size_t> count;
  std::string codec = "standard";
  bool methodCall = false;
  bool envelope = false;
};

// 0 is "no bound".
Duration parseTimeout(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 1e6) {
    throw UsageError("--timeout wants seconds (0: no bound), got '" + text + "'");
  }
  if (seconds == 0) return BridgeClient::kNoTimeout;
  // At least a millisecond: a bound that rounds to nothing is still a bound.
  return std::max(Duration(1), Duration(static_cast<int64_t>(seconds * 1000)));
}

size_t parseCount(const std::string& text) {
  size_t n = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || ptr != text.data() + text.size() || n == 0) {
    throw UsageError("--count wants a positive number, got '" + text + "'");
  }
  return n;
}

Options parseOptions(const std::vector<std::string>& args) {
  Options o;
  bool optionsDone = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " wants a value");
      return args[++i];
    };
    if (!optionsDone && a.starts_with("--")) {
      if (a == "--") {
        optionsDone = true;
      } else if (a == "--socket") {
        o.socket = value();
      } else if (a == "--timeout") {
        o.timeout = parseTimeout(value());
      } else if (a == "--count") {
        o.count = parseCount(value());
      } else if (a == "--codec") {
        o.codec = value();
      } else if (a == "--method-call") {
        o.methodCall = true;
      } else if (a == "--envelope") {
        o.envelope = true;
      } else if (a == "--help" || a == "-h") {
        o.command = "help";
        return o;
      } else if (a == "--version") {
        o.command = "version";
        return o;
      } else {
        throw UsageError("unknown option " + a);
      }
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.positional.push_back(a);
    }
  }
  if (o.methodCall && o.envelope)
    throw UsageError("--method-call and --envelope exclude each other");
  return o;
}

void expectArgs(const Options& o, size_t min, size_t max) {
  if (o.positional.size() < min || o.positional.size() > max) {
    throw UsageError("wrong number of arguments for " + o.command, true);
  }
}

// `what` names the argument ("ARGS", "MESSAGE") in the message.
ChannelValue parseValue(const std::string& text, const char* what) {
  try {
    return parseTypedJson(text);
  } catch (const std::exception& e) {
    std::string reason = e.what();
    constexpr std::string_view kPrefix = "typed JSON: ";
    if (reason.starts_with(kPrefix)) reason.erase(0, kPrefix.size());
    throw UsageError(std::string("bad typed JSON in ") + what + ": " + reason);
  }
}

std::string toHex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

Bytes fromHex(const std::string& text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t') continue;
    if (digit(c) < 0) throw UsageError(std::string("not a hex digit: '") + c + "'");
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0) throw UsageError("odd number of hex digits");
  Bytes out;
  out.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(digit(digits[i]) * 16 + digit(digits[i + 1])));
  }
  return out;
}

std::shared_ptr<const MessageCodec> codecNamed(const std::string& name) {
  auto codec = findMessageCodec(name);
  if (!codec) {
    std::string known;
    for (const auto& n : messageCodecNames()) known += (known.empty() ? "" : ", ") + n;
    throw UsageError("unknown codec " + name + " (known: " + known + ")");
  }
  return codec;
}

const StandardMethodCodec& methodCodec() { return *StandardMethodCodec::sharedInstance(); }

// Prints a method reply; returns the exit status.
int printMethodReply(std::span<const uint8_t> reply, std::ostream& out) {
  if (reply.empty()) {
    out << kNotImplemented << '\n';
    return kExitUsage;
  }
  MethodEnvelope envelope;
  try {
    envelope = methodCodec().decodeEnvelope(reply);
  } catch (const CodecError& e) {
    throw UsageError(std::string("the host's reply is not an envelope: ") + e.what() + " (" +
                     toHex(reply) + ")");
  }
  if (const auto* value = std::get_if<ChannelValue>(&envelope)) {
    out << printTypedJson(*value) << '\n';
    return kExitResult;
  }
  out << printEnvelopeJson(envelope) << '\n';
  return kExitErrorEnvelope;
}

class Session {
 public:
  explicit Session(const Options& o)
      : path_(o.socket ? *o.socket : bridge::socketPath()), timeout_(o.timeout) {
    const bool bounded = timeout_ && *timeout_ != BridgeClient::kNoTimeout;
    client_.connect(path_, bounded ? *timeout_ : BridgeClient::kDefaultTimeout);
  }

  BridgeClient& client() { return client_; }

  // How long a call on `channel` may wait for its answer.
  Duration callTimeout(const std::string& channel) const {
    if (timeout_) return *timeout_;
    return channel == kSigningChannel ? BridgeClient::kNoTimeout : BridgeClient::kDefaultTimeout;
  }

  // A call's answer; `what` names it when none comes in time.
  Bytes call(const std::string& channel, const std::string& what, const Bytes& message) {
    const Duration timeout = callTimeout(channel);
    try {
      return client_.call(channel, message, timeout);
    } catch (const bridge::BridgeTimeout&) {
      throw TimedOut(what + ": no answer within " + secondsText(timeout));
    }
  }

  // The next host message; nullopt when --timeout passed (or a stop came)
  // without one. Waits without end when no --timeout was given.
  std::optional<bridge::HostMessage> nextHostMessage() {
    const bool bounded = timeout_ && *timeout_ != BridgeClient::kNoTimeout;
    const auto deadline = bounded ? std::chrono::steady_clock::now() + *timeout_
                                  : std::chrono::steady_clock::time_point::max();
    while (!gStop) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return std::nullopt;
      const auto left = std::chrono::duration_cast<Duration>(deadline - now);
      if (auto m = client_.nextHostMessage(std::min(left, kStopCheckInterval))) return m;
    }
    return std::nullopt;
  }

  // Answers a message of no interest to us, so the host is not left waiting.
  void answerEmpty(const bridge::HostMessage& m) {
    if (m.id != 0) client_.reply(m.id, {}, BridgeClient::kDefaultTimeout);
  }

  std::string timeoutText() const { return timeout_ ? secondsText(*timeout_) : "no bound"; }

 private:
  std::string path_;
  std::optional<Duration> timeout_;
  BridgeClient client_;
};

int cmdCall(const Options& o, std::ostream& out) {
  expectArgs(o, 2, 3);
  const std::string& channel = o.positional[0];
  MethodCall call{o.positional[1],
                  o.positional.size() > 2 ? parseValue(o.positional[2], "ARGS") : ChannelValue()};
  const Bytes message = methodCodec().encodeMethodCall(call);
  Session session(o);
  return printMethodReply(session.call(channel, channel + " " + call.method, message), out);
}

int cmdSend(const Options& o, std::ostream& out) {
  expectArgs(o, 2, 2);
  auto codec = codecNamed(o.codec);
  const Bytes message = codec->encodeMessage(parseValue(o.positional[1], "MESSAGE"));
  Session session(o);
  const Bytes reply = session.call(o.positional[0], o.positional[0], message);
  if (reply.empty()) {
    out << kNotImplemented << '\n';
    return kExitUsage;
  }
  try {
    out << printTypedJson(codec->decodeMessage(reply)) << '\n';
  } catch (const CodecError& e) {
    throw UsageError(std::string("the host's reply does not decode: ") + e.what() + " (" +
                     toHex(reply) + ")");
  }
  return kExitResult;
}

int cmdListen(const Options& o, std::ostream& out, std::ostream& err) {
  expectArgs(o, 1, 2);
  const std::string& channel = o.positional[0];
  const ChannelValue args =
      o.positional.size() > 1 ? parseValue(o.positional[1], "ARGS") : ChannelValue();
  Session session(o);
  const Bytes listenReply =
      session.call(channel, channel + " listen", methodCodec().encodeMethodCall({"listen", args}));
  // Not implemented, an error or a malformed answer: nothing to listen to.
  if (listenReply.empty() ||
      !std::holds_alternative<ChannelValue>(methodCodec().decodeEnvelope(listenReply))) {
    return printMethodReply(listenReply, out);
  }
  size_t seen = 0;
  bool ended = false;
  while (!o.count || seen < *o.count) {
    auto m = session.nextHostMessage();
    if (!m) break;
    if (m->channel != channel) {
      session.answerEmpty(*m);
      continue;
    }
    // Events want no answer but get the empty one if asked, as the engine does.
    session.answerEmpty(*m);
    if (m->payload.empty()) {  // end of stream
      ended = true;
      break;
    }
    try {
      const MethodEnvelope event = methodCodec().decodeEnvelope(m->payload);
      if (const auto* value = std::get_if<ChannelValue>(&event)) {
        out << printTypedJson(*value) << '\n';
      } else {
        out << printEnvelopeJson(event) << '\n';
      }
    } catch (const CodecError& e) {
      err << "hostctl: event does not decode: " << e.what() << " (" << toHex(m->payload) << ")\n";
    }
    out.flush();
    ++seen;
  }
  if (!ended) {
    const Bytes cancelReply = session.call(
        channel, channel + " cancel", methodCodec().encodeMethodCall({"cancel", ChannelValue()}));
    if (!cancelReply.empty()) {
      const auto envelope = methodCodec().decodeEnvelope(cancelReply);
      if (std::holds_alternative<ChannelError>(envelope)) {
        err << "hostctl: cancel answered " << printEnvelopeJson(envelope) << '\n';
      }
    }
  }
  if (o.count && seen < *o.count && !ended && !gStop) {
    err << "hostctl: " << channel << ": " << seen << " of " << *o.count << " events within "
        << session.timeoutText() << '\n';
    return kExitTimeout;
  }
  return kExitResult;
}

int cmdWatch(const Options& o, std::ostream& out, std::ostream& err) {
  expectArgs(o, 1, 1);
  const std::string& channel = o.positional[0];
  Session session(o);
  static const Bytes kNullSuccess = methodCodec().encodeSuccessEnvelope(ChannelValue());
  size_t seen = 0;
  while (!o.count || seen < *o.count) {
    auto m = session.nextHostMessage();
    if (!m) break;
    if (m->channel != channel) {
      session.answerEmpty(*m);
      continue;
    }
    try {
      out << printMethodCallJson(methodCodec().decodeMethodCall(m->payload)) << '\n';
      out.flush();
      if (m->id != 0) session.client().reply(m->id, kNullSuccess, BridgeClient::kDefaultTimeout);
    } catch (const CodecError& e) {
      err << "hostctl: not a method call: " << e.what() << " (" << toHex(m->payload) << ")\n";
      session.answerEmpty(*m);
    }
    ++seen;
  }
  if (o.count && seen < *o.count && !gStop) {
    err << "hostctl: " << channel << ": " << seen << " of " << *o.count << " calls within "
        << session.timeoutText() << '\n';
    return kExitTimeout;
  }
  return kExitResult;
}

int cmdEncode(const Options& o, std::ostream& out) {
  expectArgs(o, 1, 1);
  const std::string& text = o.positional[0];
  Bytes bytes;
  try {
    if (o.methodCall) {
      bytes = methodCodec().encodeMethodCall(parseMethodCallJson(text));
    } else if (o.envelope) {
      const MethodEnvelope envelope = parseEnvelopeJson(text);
      bytes = std::holds_alternative<ChannelValue>(envelope)
                  ? methodCodec().encodeSuccessEnvelope(std::get<ChannelValue>(envelope))
                  : methodCodec().encodeErrorEnvelope(std::get<ChannelError>(envelope));
    } else {
      bytes = codecNamed(o.codec)->encodeMessage(parseTypedJson(text));
    }
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw UsageError(std::string("cannot encode: ") + e.what());
  }
  out << toHex(bytes) << '\n';
  return kExitResult;
}

int cmdDecode(const Options& o, std::ostream& out) {
  expectArgs(o, 1, 1);
  const Bytes bytes = fromHex(o.positional[0]);
  try {
    if (o.methodCall) {
      out << printMethodCallJson(methodCodec().decodeMethodCall(bytes)) << '\n';
    } else if (o.envelope) {
      if (bytes.empty()) {
        out << kNotImplemented << '\n';
      } else {
        out << printEnvelopeJson(methodCodec().decodeEnvelope(bytes)) << '\n';
      }
    } else {
      out << printTypedJson(codecNamed(o.codec)->decodeMessage(bytes)) << '\n';
    }
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw UsageError(std::string("cannot decode: ") + e.what());
  }
  return kExitResult;
}

}  // namespace

void requestStop() { gStop = true; }

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  gStop = false;
  try {
    const Options o = parseOptions(args);
    if (o.command == "help") {
      out << kUsage;
      return kExitResult;
    }
    if (o.command == "version") {
      out << "hostctl " << VELLUMARK_VERSION << "\n";
      return kExitResult;
    }
    if (o.command == "call") return cmdCall(o, out);
    if (o.command == "send") return cmdSend(o, out);
    if (o.command == "listen") return cmdListen(o, out, err);
    if (o.command == "watch") return cmdWatch(o, out, err);
    if (o.command == "encode") return cmdEncode(o, out);
    if (o.command == "decode") return cmdDecode(o, out);
    throw UsageError(o.command.empty() ? "no command" : "unknown command " + o.command, true);
  } catch (const UsageError& e) {
    err << "hostctl: " << e.what() << '\n';
    if (e.showUsage) err << kUsage;
    return kExitUsage;
  } catch (const TimedOut& e) {
    err << "hostctl: " << e.what() << '\n';
    return kExitTimeout;
  } catch (const bridge::BridgeTimeout& e) {
    err << "hostctl: " << e.what() << '\n';
    return kExitTimeout;
  } catch (const bridge::BridgeError& e) {
    err << "hostctl: " << e.what() << '\n';
    return kExitNoHost;
  } catch (const CodecError& e) {
    err << "hostctl: the host's reply does not decode: " << e.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "hostctl: " << e.what() << '\n';
    return kExitUsage;
  }
}

}  // namespace vellumark::hostctl
