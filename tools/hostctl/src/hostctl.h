// hostctl's commands, callable in-process (main.cc and the tests).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vellumark::hostctl {

// Exit statuses.
inline constexpr int kExitResult = 0;
inline constexpr int kExitErrorEnvelope = 1;
inline constexpr int kExitUsage = 2;    // also "not implemented" and bad input
inline constexpr int kExitNoHost = 3;   // cannot connect, connection lost
inline constexpr int kExitTimeout = 4;  // no answer (or too few events) within --timeout

// Runs one command line (without the program name). Results go to `out`, one
// per line; diagnostics to `err`. Any thread; one run per thread at a time.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Asks a running listen or watch to stop (async-signal-safe).
void requestStop();

}  // namespace vellumark::hostctl
