// Exec-to-ready time and peak resident memory of the host and of a bare GTK
// window under the same X server. Ready means "UI bridge listening" for the
// host and "mapped" for the bare window, each read from standard error.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double seconds = 0;
  double peakKiB = 0;
  bool ok = false;
};

double peakRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr);
  }
  return 0;
}

// Starts `exe`, waits for `marker` on its standard error, samples its peak
// memory and ends it.
Sample measure(const char* exe, const std::string& marker, const std::string& socketPath) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  unlink(socketPath.c_str());
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("VELLUMARK_UI_SOCKET", socketPath.c_str(), 1);
    dup2(pipeFds[1], STDERR_FILENO);
    execl(exe, exe, nullptr);
    _exit(127);
  }
  close(pipeFds[1]);

  Sample sample;
  std::string seen;
  char buffer[512];
  while (seen.find(marker) == std::string::npos) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  if (seen.find(marker) != std::string::npos) {
    sample.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sample.peakKiB = peakRssKiB(pid);
    sample.ok = true;
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(pipeFds[0]);
  return sample;
}

void run(benchmark::State& state, const char* exe, const std::string& marker) {
  if (std::getenv("DISPLAY") == nullptr) {
    state.SkipWithError("needs a display (tests/env/with-test-env.sh)");
    return;
  }
  const std::string socketPath =
      std::string("/tmp/vellumark-startup-bench-") + std::to_string(getpid()) + ".sock";
  double peakTotal = 0;
  double peakMax = 0;
  int64_t count = 0;
  for (auto _ : state) {
    const Sample s = measure(exe, marker, socketPath);
    if (!s.ok) {
      state.SkipWithError("the program never became ready");
      break;
    }
    state.SetIterationTime(s.seconds);
    peakTotal += s.peakKiB;
    peakMax = std::max(peakMax, s.peakKiB);
    ++count;
  }
  unlink(socketPath.c_str());
  if (count > 0) {
    state.counters["peak_rss_MiB"] = peakTotal / static_cast<double>(count) / 1024.0;
    state.counters["peak_rss_max_MiB"] = peakMax / 1024.0;
  }
}

void BM_HostToBridgeListening(benchmark::State& state) {
  run(state, VELLUMARK_HOST, "UI bridge listening on ");
}
void BM_BareGtkWindowToMapped(benchmark::State& state) {
  run(state, VELLUMARK_BARE_WINDOW, "mapped\n");
}

BENCHMARK(BM_BareGtkWindowToMapped)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_HostToBridgeListening)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
