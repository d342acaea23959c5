# Shared by run.sh and test.sh: installs whatever Debian packages are missing, then configures and
# builds the project in Release. Sourced, not run.

QUILLMERE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUILLMERE_BUILD=${QUILLMERE_BUILD:-$QUILLMERE_ROOT/build}

quillmere_packages=(
  cmake ninja-build g++ pkg-config
  libssl-dev nlohmann-json3-dev libtiff-dev libpng-dev libjpeg62-turbo-dev
  qt6-base-dev qt6-translations-l10n libgl-dev fonts-noto-cjk
  libraw-dev qt6-image-formats-plugins
  # The picture workers' system-call filter, and colour profiles Qt cannot apply.
  libseccomp-dev liblcms2-dev
  googletest libgtest-dev
  # The power-cut test's file system (tests/powercut/) and the fusermount3 it may need.
  libfuse3-dev fuse3
)

quillmere_install_missing() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing missing packages: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

quillmere_build() {
  cmake -S "$QUILLMERE_ROOT" -B "$QUILLMERE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$QUILLMERE_BUILD" -j2
}
