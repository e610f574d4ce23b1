// vellumark-sign as a function: main.cc and the tests call it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vellumark::sign {

struct Environment {
  std::string socketPath;    // the running host's bridge socket
  std::string hostProgram;   // started when nobody answers on socketPath
  bool interactive = false;  // a person at the terminal may pick a certificate
};

// Runs one command line (without the program name); the exit status.
int run(const std::vector<std::string>& args, const Environment& env, std::istream& in,
        std::ostream& out, std::ostream& err);

// Signal handling: removes the half-written output and stops a host the
// command started, then dies of the signal. Async-signal-safe.
void cleanUpAfterSignal();

}  // namespace vellumark::sign
