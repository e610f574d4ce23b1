#include "update_relaunch.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform_linux/update_framework.h"
#include "update_install.h"

namespace vellumark::linux_platform {
namespace update {
namespace {

constexpr char kGo[] = "go";

}  // namespace

bool RelaunchHelper::start(const std::string& helper, const std::string& busName,
                           const std::string& oldFolder, const std::string& executable,
                           std::string* error) {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe2: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> args{helper, busName, oldFolder, executable};
  std::vector<gchar*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  GError* spawnError = nullptr;
  // Not reaped by us: GLib detaches it, so it outlives this process.
  const gboolean ok =
      g_spawn_async_with_fds(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                             nullptr, fds[0], -1, -1, &spawnError);
  ::close(fds[0]);
  if (!ok) {
    *error = std::string("starting ") + helper + ": " +
             (spawnError != nullptr ? spawnError->message : "unknown error");
    if (spawnError != nullptr) g_error_free(spawnError);
    ::close(fds[1]);
    return false;
  }
  pipe_ = fds[1];
  return true;
}

void RelaunchHelper::go() {
  if (pipe_ < 0) return;
  ssize_t n = 0;
  do {
    n = ::write(pipe_, kGo, sizeof kGo - 1);
  } while (n < 0 && errno == EINTR);
  // Deliberately left open (close-on-exec) until the process exits.
  pipe_ = -1;
}

void RelaunchHelper::abandon() {
  if (pipe_ >= 0) ::close(pipe_);
  pipe_ = -1;
}

}  // namespace update

namespace {

// Past this the helper stops waiting for the name and starts the new
// process anyway (it then hands over to whoever holds the name).
constexpr guint kNameWaitSeconds = 10;

struct NameWait {
  GMainLoop* loop = nullptr;
};

void onNameVanished(GDBusConnection* /*connection*/, const gchar* /*name*/, gpointer data) {
  g_main_loop_quit(static_cast<NameWait*>(data)->loop);
}

gboolean onNameWaitTimeout(gpointer data) {
  g_main_loop_quit(static_cast<NameWait*>(data)->loop);
  return G_SOURCE_REMOVE;
}

// Until nobody owns `name` on the session bus (at once without a bus).
void waitForNameRelease(const std::string& name) {
  if (name.empty() || !g_dbus_is_name(name.c_str())) return;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    if (error != nullptr) g_error_free(error);
    return;
  }
  NameWait wait;
  wait.loop = g_main_loop_new(nullptr, FALSE);
  const guint watch = g_bus_watch_name_on_connection(
      bus, name.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr, &onNameVanished, &wait, nullptr);
  const guint timeout = g_timeout_add_seconds(kNameWaitSeconds, &onNameWaitTimeout, &wait);
  g_main_loop_run(wait.loop);
  g_bus_unwatch_name(watch);
  g_source_remove(timeout);
  g_main_loop_unref(wait.loop);
  g_object_unref(bus);
}

}  // namespace

int runRelaunchHelper(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string busName = argv[1];
  const std::string oldFolder = argv[2];
  const std::string executable = argv[3];

  // "go", then the end of the pipe when the old process has gone.
  std::string received;
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  if (received != update::kGo) return 0;

  waitForNameRelease(busName);
  update::removeTree(oldFolder);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
  ::execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
  std::fprintf(stderr, "vellumark_relaunch: starting %s: %s\n", executable.c_str(),
               std::strerror(errno));
  return 1;
}

}  // namespace vellumark::linux_platform
