#!/usr/bin/env bash
# Takes docs/window.png: the real window under Xvfb, with four renders (JPEG, TIFF, PNG) opened
# with the application, two paired by their names at once, one paired with an original of another
# name (marked) and one still waiting for its original, each with its pictures, the second row
# selected with the keyboard on the table; docs/window-pair.png: the larger look at the first
# row's pair; docs/window-unpaired.png: the tooltip of the row pairing by name left waiting;
# docs/window-large.png: the window made larger; docs/window-compare.png: the comparison view of
# the first row.
#
#   scripts/screenshot.sh [BUILD_DIR]      (default: build)
#
# Needs xvfb (xvfb-run), fonts-noto-cjk for the Chinese text and openbox, the window manager that
# gives the window the keyboard (without one the focused row's frame does not show).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"

command -v xvfb-run >/dev/null || { echo "xvfb-run not found: apt-get install xvfb" >&2; exit 1; }
fc-list :lang=zh | grep -q . || { echo "no CJK font: apt-get install fonts-noto-cjk" >&2; exit 1; }
command -v openbox >/dev/null || { echo "openbox not found: apt-get install openbox" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target window_screenshot

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$root/docs"
# An X server with a window manager and no desktop; the pictures are of the window's own area,
# without the manager's title bar. The panels' remembered folders go to the scratch folder, not
# the user's settings.
XDG_CONFIG_HOME="$work" QT_QPA_PLATFORM=xcb xvfb-run --auto-servernum --server-args="-screen 0 1440x900x24" \
  bash -c 'openbox >/dev/null 2>&1 & sleep 1; exec "$0" "$@"' \
  "$build/tests/window/window_screenshot" "$root/docs/window.png" "$work"
echo "wrote $root/docs/window.png and its siblings -pair, -unpaired, -large and -compare"
