#!/usr/bin/env bash
# Takes docs/window.png: the real window under Xvfb, with four renders (JPEG, TIFF, PNG) opened
# with the application, two paired by their names at once, one paired with an original of another
# name (marked) and one still waiting for its original, each with its pictures; and
# docs/window-pair.png: the larger look at the first row's pair.
#
#   scripts/screenshot.sh [BUILD_DIR]      (default: build)
#
# Needs xvfb (xvfb-run) and fonts-noto-cjk for the Chinese text.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"

command -v xvfb-run >/dev/null || { echo "xvfb-run not found: apt-get install xvfb" >&2; exit 1; }
fc-list :lang=zh | grep -q . || { echo "no CJK font: apt-get install fonts-noto-cjk" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target window_screenshot

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$root/docs"
# A plain X server, no desktop: the window is drawn without a title bar by Qt's own style.
# The panels' remembered folders go to the scratch folder, not the user's settings.
XDG_CONFIG_HOME="$work" QT_QPA_PLATFORM=xcb xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
  "$build/tests/qt/window_screenshot" "$root/docs/window.png" "$work"
echo "wrote $root/docs/window.png and $root/docs/window-pair.png"
