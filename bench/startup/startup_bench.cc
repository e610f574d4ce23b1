// Start-up of the host against a bare GTK window of the same size under the
// same X server, window manager and session bus. Each program is measured
// the same way:
// - ready: its own marker on standard error ("UI bridge listening on " for
//   the host, "mapped" for the bare window);
// - mapped: the window manager maps a top-level window for it, seen from
//   outside through the root window's substructure events;
// - peak RSS (VmHWM) when ready and once settled (mapped, drawn, 400 ms on).
// Figures are medians of many runs, after one discarded warm-up run of each;
// the two programs alternate so load on the machine hits both alike. The
// goals, each within 1.3x of the bare window, are printed one line each at
// the end. Needs a display: run under tests/env/with-test-env.sh.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 25;
constexpr auto kSettle = std::chrono::milliseconds(400);
constexpr int kTimeoutMs = 10000;
constexpr double kGoalRatio = 1.3;

struct Program {
  const char* exe;
  const char* marker;
};
// VELLUMARK_STARTUP_HOST names another host executable, to compare builds.
const char* hostExecutable() {
  const char* other = std::getenv("VELLUMARK_STARTUP_HOST");
  return other != nullptr && *other != '\0' ? other : VELLUMARK_HOST;
}
const Program kHost{hostExecutable(), "UI bridge listening on "};
const Program kBare{VELLUMARK_BARE_WINDOW, "mapped\n"};

struct Sample {
  double readyMs = 0;
  double mappedMs = 0;
  double readyPeakMiB = 0;
  double settledPeakMiB = 0;
  bool ok = false;
};

double peakRssMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct DisplayClose {
  void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// Watches the root window for top-level maps, which the window manager makes
// once it has framed a client's window.
class MapWatcher {
 public:
  MapWatcher() : display_(XOpenDisplay(nullptr)) {
    if (display_) {
      XSelectInput(display_.get(), DefaultRootWindow(display_.get()), SubstructureNotifyMask);
      XSync(display_.get(), True);  // drop anything from earlier runs
    }
  }
  bool ok() const { return display_ != nullptr; }
  int fd() const { return ConnectionNumber(display_.get()); }
  void discardPending() { XSync(display_.get(), True); }
  // Drains queued events; true once a top-level window was mapped.
  bool sawMap() {
    bool mapped = false;
    while (XPending(display_.get()) > 0) {
      XEvent event;
      XNextEvent(display_.get(), &event);
      if (event.type == MapNotify && event.xmap.event == DefaultRootWindow(display_.get())) {
        mapped = true;
      }
    }
    return mapped;
  }

 private:
  DisplayPtr display_;
};

// Starts the program, waits until it is both ready and mapped, samples its
// peak memory then and once settled, and ends it.
Sample measure(const Program& program, MapWatcher& watcher, const std::string& socketPath) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  unlink(socketPath.c_str());
  watcher.discardPending();
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("VELLUMARK_UI_SOCKET", socketPath.c_str(), 1);
    dup2(pipeFds[1], STDERR_FILENO);
    execl(program.exe, program.exe, nullptr);
    _exit(127);
  }
  close(pipeFds[1]);

  Sample sample;
  std::string seen;
  bool ready = false;
  bool mapped = false;
  bool open = true;
  char buffer[512];
  while (!(ready && mapped) && msSince(start) < kTimeoutMs) {
    pollfd fds[2] = {{open ? pipeFds[0] : -1, POLLIN, 0}, {watcher.fd(), POLLIN, 0}};
    if (!mapped && watcher.sawMap()) {
      mapped = true;
      sample.mappedMs = msSince(start);
      continue;
    }
    if (poll(fds, 2, 100) < 0) break;
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n <= 0) {
        open = false;
        if (!ready) break;  // it died before becoming ready
        continue;
      }
      seen.append(buffer, static_cast<size_t>(n));
      if (!ready && seen.find(program.marker) != std::string::npos) {
        ready = true;
        sample.readyMs = msSince(start);
        sample.readyPeakMiB = peakRssMiB(pid);
      }
    }
  }
  if (ready && mapped) {
    // Keep draining its output so it never blocks on a full pipe.
    const auto settleEnd = Clock::now() + kSettle;
    while (open && Clock::now() < settleEnd) {
      pollfd p{pipeFds[0], POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && read(pipeFds[0], buffer, sizeof buffer) <= 0) open = false;
    }
    if (Clock::now() < settleEnd) std::this_thread::sleep_until(settleEnd);
    sample.settledPeakMiB = peakRssMiB(pid);
    sample.ok = true;
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(pipeFds[0]);
  return sample;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Medians {
  double readyMs;
  double mappedMs;
  double readyPeakMiB;
  double settledPeakMiB;
};

Medians medians(const std::vector<Sample>& samples) {
  std::vector<double> ready, mapped, readyPeak, settledPeak;
  for (const Sample& s : samples) {
    ready.push_back(s.readyMs);
    mapped.push_back(s.mappedMs);
    readyPeak.push_back(s.readyPeakMiB);
    settledPeak.push_back(s.settledPeakMiB);
  }
  return {median(ready), median(mapped), median(readyPeak), median(settledPeak)};
}

std::string benchSocketPath() {
  return "/tmp/vellumark-startup-bench-" + std::to_string(getpid()) + ".sock";
}

bool prepare(benchmark::State& state, MapWatcher& watcher) {
  if (std::getenv("DISPLAY") == nullptr || !watcher.ok()) {
    state.SkipWithError("needs a display (tests/env/with-test-env.sh)");
    return false;
  }
  return true;
}

void report(benchmark::State& state, const char* prefix, const Medians& m) {
  const std::string p(prefix);
  state.counters[p + "ready_ms"] = m.readyMs;
  state.counters[p + "mapped_ms"] = m.mappedMs;
  state.counters[p + "ready_rss_MiB"] = m.readyPeakMiB;
  state.counters[p + "settled_rss_MiB"] = m.settledPeakMiB;
}

// The last paired run, for the goal lines.
struct Pair {
  Medians host;
  Medians bare;
};
std::optional<Pair> lastPair;

// Host and bare window alternately; the ratios are the goals.
void BM_HostOverBare(benchmark::State& state) {
  MapWatcher watcher;
  if (!prepare(state, watcher)) return;
  const std::string socketPath = benchSocketPath();
  measure(kBare, watcher, socketPath);
  measure(kHost, watcher, socketPath);
  std::vector<Sample> host, bare;
  for (auto _ : state) {
    const Sample b = measure(kBare, watcher, socketPath);
    const Sample h = measure(kHost, watcher, socketPath);
    if (!b.ok || !h.ok) {
      state.SkipWithError("a program never became ready and mapped");
      break;
    }
    state.SetIterationTime(h.readyMs / 1000.0);
    bare.push_back(b);
    host.push_back(h);
  }
  unlink(socketPath.c_str());
  if (host.empty()) return;
  const Medians h = medians(host);
  const Medians b = medians(bare);
  report(state, "host_", h);
  report(state, "bare_", b);
  state.counters["ratio_ready"] = h.readyMs / b.readyMs;
  state.counters["ratio_mapped"] = h.mappedMs / b.mappedMs;
  state.counters["ratio_ready_rss"] = h.readyPeakMiB / b.readyPeakMiB;
  state.counters["ratio_settled_rss"] = h.settledPeakMiB / b.settledPeakMiB;
  lastPair = Pair{h, b};
}

void printGoal(const char* what, const char* hostLabel, double host, const char* bareLabel,
               double bare, const char* unit) {
  const double ratio = host / bare;
  std::printf("%s: %s %.1f %s / %s %.1f %s = %.2fx, goal <= %.1fx, %s\n", what, hostLabel, host,
              unit, bareLabel, bare, unit, ratio, kGoalRatio,
              ratio <= kGoalRatio ? "met" : "NOT met");
}

void printGoals(const Pair& p) {
  std::printf("\nStart-up goals (medians; bare = a bare GTK window of the same size):\n");
  printGoal("exec \u2192 window mapped", "host", p.host.mappedMs, "bare", p.bare.mappedMs, "ms");
  printGoal("exec \u2192 bridge listening", "host", p.host.readyMs, "bare window mapped",
            p.bare.mappedMs, "ms");
  printGoal("peak memory once settled", "host", p.host.settledPeakMiB, "bare",
            p.bare.settledPeakMiB, "MiB");
  std::fflush(stdout);
}

BENCHMARK(BM_HostOverBare)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kRuns);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (lastPair) printGoals(*lastPair);
  return 0;
}
