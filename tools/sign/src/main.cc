// vellumark-sign: signs a PDF through the Vellumark host (see --help).
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "embedding/bridge_protocol.h"
#include "sign_command.h"

namespace {

constexpr char kHostName[] = "vellumark";

void onSignal(int signum) {
  vellumark::sign::cleanUpAfterSignal();
  signal(signum, SIG_DFL);
  raise(signum);
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signum : {SIGINT, SIGTERM, SIGHUP}) sigaction(signum, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  vellumark::sign::Environment env;
  env.socketPath = vellumark::bridge::socketPath();
  // The host of the same bundle: bin/vellumark beside this program.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  env.hostProgram = (self.parent_path() / kHostName).string();
  env.interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
  std::vector<std::string> args(argv + 1, argv + argc);
  return vellumark::sign::run(args, env, std::cin, std::cout, std::cerr);
}
