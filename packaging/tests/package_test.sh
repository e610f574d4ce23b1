#!/bin/bash
# Builds the Debian package from a built tree and checks it as a packager
# would: its file list and control data, then the unpacked tree (desktop
# entry, AppStream data, the commands' --version) without installing it.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; }
deb=$(find "$scratch/out" -maxdepth 1 -name 'vellumark_*.deb' | head -n 1)
[[ -n $deb ]] || fail "no package was made"

files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in /usr/bin/vellumark /usr/bin/hostctl /usr/lib/vellumark/bin/vellumark \
  /usr/lib/vellumark/Info.plist /usr/lib/vellumark/Resources/MainMenu.ui \
  /usr/lib/vellumark/lib/vellumark_tokens.so /usr/share/applications/com.vellumark.desktop \
  /usr/share/metainfo/com.vellumark.desktop.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/com.vellumark.desktop.svg \
  /usr/bin/vellumark-sign /usr/lib/vellumark/bin/vellumark-sign /usr/share/man/man1/vellumark-sign.1 \
  /usr/share/man/man1/vellumark.1 /usr/share/man/man1/hostctl.1 /usr/share/doc/vellumark/LICENSE; do
  grep -qx "$path" <<<"$files" || fail "the package lacks $path"
done
for size in 16 24 32 48 64 128 256 512; do
  grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/com.vellumark.desktop.png" <<<"$files" ||
    fail "the package lacks the ${size}px icon"
done
# Nothing of the build tree or the tests leaks in.
if grep -E '_test(s)?$|/include/|\.a$|gtest' <<<"$files"; then fail "test or build files in the package"; fi

control=$(dpkg-deb -I "$deb")
grep -q '^ Package: vellumark$' <<<"$control" || fail "package name"
depends=$(sed -n 's/^ Depends: //p' <<<"$control")
for lib in libc6 libglib2.0-0 libgtk-3-0 libplist3; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib (from the linked libraries): $depends"
done

dpkg -x "$deb" "$scratch/root"
root=$scratch/root
version=$("$root/usr/bin/vellumark" --version) || fail "vellumark --version failed"
[[ $version =~ ^Vellumark\ [0-9]+\.[0-9]+\.[0-9]+\ \(build\ [^\)]+\)$ ]] ||
  fail "unexpected version line: $version"
for command in "$root"/usr/bin/*; do
  name=$(basename "$command")
  "$command" --help >/dev/null 2>&1 || fail "$name --help"
  "$command" --version >/dev/null 2>&1 || fail "$name --version"
  [[ -f "$root/usr/share/man/man1/$name.1" ]] || fail "no manual page for $name"
done
desktop-file-validate "$root/usr/share/applications/com.vellumark.desktop" || fail "desktop entry"
appstreamcli validate-tree --no-net "$root/usr" >/dev/null || {
  appstreamcli validate-tree --no-net "$root/usr" >&2 || true
  fail "AppStream data"
}
echo "package ok: $(basename "$deb")"
