#!/usr/bin/env bash
# Builds everything (installing missing Debian packages first) and runs every test. Prints CTest's
# summary and exits non-zero when any test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
quillmere_install_missing "${quillmere_packages[@]}"
quillmere_build
cd "$QUILLMERE_BUILD"
ctest --output-on-failure -j2 --timeout 600
