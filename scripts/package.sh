#!/usr/bin/env bash
# Builds the project in Release (installing missing Debian packages first) and makes the Debian
# package with CPack. The build's own output goes to standard error; standard output gets one
# line, the package's path, so that `apt install "$(scripts/package.sh)"` works.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# dpkg-shlibdeps (dpkg-dev) computes the library dependencies; CPack finds binaries with file.
quillmere_install_missing "${quillmere_packages[@]}" dpkg-dev file >&2
quillmere_build >&2

out=$QUILLMERE_BUILD/package
rm -rf "$out"
cpack --config "$QUILLMERE_BUILD/CPackConfig.cmake" -G DEB -B "$out" >&2
shopt -s nullglob
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "package.sh: expected one package in $out, found ${#debs[@]}" >&2
  exit 1
fi
echo "${debs[0]}"
