#!/usr/bin/env bash
# Runs a command on a private Xorg with the dummy video driver (outputs
# DUMMY0..15, so tests can add and remove monitors with xrandr) and openbox,
# in place of the display the caller has. Run it inside with-test-env.sh:
#
#   tests/env/with-test-env.sh tests/env/with-xorg-dummy.sh CMD [ARGS...]
#
# DUMMY0 starts at 1280x1024; DUMMY1 and DUMMY2 have the mode 1024x768 and
# were enabled and disabled once (a first enable may otherwise do nothing). VELLUMARK_XORG_DUMMY=1 tells
# the tests they may change outputs.
set -euo pipefail

root=$(mktemp -d /tmp/vellumark-xorg.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT

cat >"$root/xorg.conf" <<'CONF'
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0 - 1000.0
  VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 4096 2048
  EndSubSection
EndSection
CONF
mkdir -p "$root/conf.d"

mkfifo "$root/displayfd"
Xorg -displayfd 3 -noreset -nolisten tcp -config "$root/xorg.conf" -configdir "$root/conf.d" \
  -logfile "$root/xorg.log" -novtswitch -sharevts 3>"$root/displayfd" >"$root/xorg.out" 2>&1 &
pids+=($!)
if ! read -r -t 15 num <"$root/displayfd"; then
  echo "with-xorg-dummy: Xorg did not start (see its log)" >&2
  cat "$root/xorg.out" >&2 || true
  exit 1
fi
export DISPLAY=:$num
unset WAYLAND_DISPLAY || true

xrandr --output DUMMY0 --mode 1280x1024 >/dev/null
# A disconnected dummy output has no modes until given one.
for output in DUMMY1 DUMMY2; do
  xrandr --addmode "$output" 1024x768 >/dev/null 2>&1 || true
  xrandr --output "$output" --mode 1024x768 --right-of DUMMY0 >/dev/null 2>&1 || true
  xrandr --output "$output" --off >/dev/null 2>&1 || true
done

openbox --sm-disable >"$root/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
  if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then break; fi
  sleep 0.05
done

export VELLUMARK_XORG_DUMMY=1
status=0
"$@" || status=$?
exit "$status"
