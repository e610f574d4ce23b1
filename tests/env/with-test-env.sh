#!/usr/bin/env bash
# Runs a command inside a private desktop, so tests never touch the real
# user's home, keyring or tokens: temporary HOME and XDG folders, a private
# D-Bus session with gnome-keyring unlocked on it, Xvfb with openbox, and a
# private SoftHSM2 token folder. Everything is torn down afterwards; the
# command's exit status is returned.
#
# Locales: the command runs in C.UTF-8, and a comma-decimal locale,
# de_DE.UTF-8, is made in the folder VELLUMARK_TEST_LOCPATH names, for tests
# that point LOCPATH at it. Without the de_DE source definition (Debian
# package `locales`) it is left out and such tests skip.
#
#   tests/env/with-test-env.sh [--no-display] CMD [ARGS...]
set -euo pipefail

if [[ "${1:-}" != "--inner" ]]; then
  display=1
  if [[ "${1:-}" == "--no-display" ]]; then display=0; shift; fi
  root=$(mktemp -d /tmp/vellumark-env.XXXXXX)
  trap 'rm -rf "$root"' EXIT
  export VELLUMARK_TEST_ENV_ROOT=$root
  export HOME=$root/home
  export XDG_RUNTIME_DIR=$root/run XDG_DATA_HOME=$root/data XDG_CONFIG_HOME=$root/config
  export XDG_CACHE_HOME=$root/cache
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" \
    "$root/softhsm/tokens"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$root/softhsm/softhsm2.conf" <<CONF
directories.tokendir = $root/softhsm/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
  export SOFTHSM2_CONF=$root/softhsm/softhsm2.conf
  export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory GDK_BACKEND=x11 GDK_GL=disable
  export VELLUMARK_TEST_LOCPATH=$root/locale LANG=C.UTF-8
  unset LC_ALL LC_NUMERIC LC_CTYPE LC_MESSAGES LANGUAGE || true
  unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY GNOME_KEYRING_CONTROL || true
  unset VELLUMARK_UI_SOCKET || true
  status=0
  dbus-run-session -- "$0" --inner "$display" "$@" || status=$?
  exit "$status"
fi

# Inside the private session bus.
shift
display=$1
shift
root=$VELLUMARK_TEST_ENV_ROOT
pids=()

# A comma-decimal locale, made while the desktop starts.
make_locale() {
  local source=/usr/share/i18n/locales/de_DE
  if [[ ! -f "$source" ]] || ! command -v localedef >/dev/null; then
    echo "test environment: no $source (package locales); comma-decimal tests skip" >&2
    return 0
  fi
  mkdir -p "$root/locale"
  localedef --quiet -i de_DE -f UTF-8 "$root/locale/de_DE.UTF-8" 2>"$root/localedef.log" ||
    echo "test environment: localedef de_DE.UTF-8 failed; comma-decimal tests skip" >&2
}
make_locale &
locale_pid=$!
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# gnome-keyring with an unlocked login collection. Wait for the bus name, or a
# racing activation starts a second daemon without a login collection.
eval "$(printf 'test-password' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
export GNOME_KEYRING_CONTROL
timeout 10 gdbus wait --session --timeout 10 org.freedesktop.secrets >/dev/null 2>&1 || true
keyring_pid=$(pgrep -u "$(id -u)" -n -f 'gnome-keyring-daemon' || true)
[[ -n "$keyring_pid" ]] && pids+=("$keyring_pid")

start_display() {
  local fifo=$root/displayfd
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp -noreset 3>"$fifo" 2>"$root/xvfb.log" &
  local xvfb=$!
  local num
  if ! read -r -t 10 num <"$fifo"; then
    kill "$xvfb" 2>/dev/null || true
    return 1
  fi
  export DISPLAY=:$num
  openbox --sm-disable >"$root/openbox.log" 2>&1 &
  local wm=$!
  for _ in $(seq 1 100); do
    if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' &&
      xprop -root _NET_WORKAREA 2>/dev/null | grep -q '='; then
      pids+=("$wm" "$xvfb")
      return 0
    fi
    sleep 0.05
  done
  kill "$wm" "$xvfb" 2>/dev/null || true
  return 1
}

if [[ "$display" == 1 ]]; then
  # One start in a dozen fails to open the display: retry.
  ok=0
  for _ in 1 2 3; do
    if start_display; then ok=1; break; fi
  done
  if [[ "$ok" != 1 ]]; then
    echo "test environment: could not start Xvfb with openbox" >&2
    exit 1
  fi
fi

wait "$locale_pid" || true

status=0
"$@" || status=$?
exit "$status"
