#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the window after a re-sign of the demo
# package, on a virtual X server (Xvfb), captured with imagemagick.
#
#   scripts/screenshot.sh BUILD_DIR     (e.g. build; needs bin/ and tests/screenshot-driver)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: screenshot.sh BUILD_DIR}" && pwd)
driver="$build/tests/screenshot-driver"
[ -x "$driver" ] || { echo "screenshot: build the target screenshot-driver first" >&2; exit 1; }

# The demo's materials, made without a display (this also re-signs once).
env -u DISPLAY -u WAYLAND_DISPLAY "$root/scripts/demo.sh" "$build/bin" >/dev/null

demo="${XDG_CACHE_HOME:-$HOME/.cache}/ipa-resigner-demo"
home="$demo/home"
export HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config"
export XDG_CACHE_HOME="$home/.cache" XDG_DESKTOP_DIR="$home/Desktop" TMPDIR="$demo/tmp"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

out="$root/docs/screenshot.png"
mkdir -p "$root/docs"
xvfb-run -a -s "-screen 0 780x600x24 -nolisten tcp" \
    "$driver" "$home/Desktop/DemoApp.ipa" "$home/Desktop" "$out"
echo "Wrote $out"
