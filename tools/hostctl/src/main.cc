#include <signal.h>

#include <iostream>

#include "hostctl.h"

namespace {
void onSignal(int) { vellumark::hostctl::requestStop(); }
}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C ends listen and watch cleanly: listen still sends "cancel".
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::vector<std::string> args(argv + 1, argv + argc);
  return vellumark::hostctl::run(args, std::cout, std::cerr);
}
