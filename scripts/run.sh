#!/usr/bin/env bash
# Builds quillmere-bridge (installing missing Debian packages first) and starts it with the given
# arguments: no arguments opens the window; `--request REQ RES` runs one batch.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# Set-up output goes to a log and is shown only when something fails, so a run prints nothing but
# what the program itself prints.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { quillmere_install_missing "${quillmere_packages[@]}" && quillmere_build; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec "$QUILLMERE_BUILD/src/app/quillmere-bridge" "$@"
