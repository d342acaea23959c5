#!/usr/bin/env bash
# Times request mode as a whole process, one build against another, their runs alternating so that
# a machine that drifts in speed treats both alike. Builds REVISION (any git revision) in a
# worktree beside this checkout, and this checkout's Release build, then runs each workload:
#
#   large   8 pairs of 32 MiB (random bytes behind a tiny PNG header)
#   small   500 pairs of 16 KiB
#
# on a warm page cache, ROUNDS times per build (default 7), and prints each build's median and
# range. For the large batch it also prints the hashing floor: the bytes a batch must hash (each
# original twice, each render and its copy once) at the speed `openssl speed` measures for one
# core, and each build's median as a ratio to it.
#
# Usage: bench/compare_revisions.sh REVISION [ROUNDS [WORK-FOLDER]]
# The work folder (default $TMPDIR or /tmp) should be on a real disk: copies are read back from
# the medium, which tmpfs cannot show.
set -euo pipefail

revision=${1:?usage: bench/compare_revisions.sh REVISION [ROUNDS [WORK-FOLDER]]}
rounds=${2:-7}
work=$(mktemp -d "${3:-${TMPDIR:-/tmp}}/quillmere-compare.XXXXXX")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
trap 'rm -rf "$work"' EXIT

built_before() {
  local sha tree
  sha=$(git -C "$root" rev-parse --short "$revision")
  tree=${TMPDIR:-/tmp}/quillmere-revision-$sha
  if [ ! -d "$tree" ]; then
    git -C "$root" worktree add --detach "$tree" "$sha" >/dev/null
  fi
  # Configured as this checkout is, the window included: linking Qt alone changes how long a
  # process takes to start and how much memory it holds.
  cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$tree/build" -j2 --target quillmere-bridge >/dev/null
  echo "$tree/build/src/app/quillmere-bridge"
}

built_now() {
  cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build-release" -j2 --target quillmere-bridge >/dev/null
  echo "$root/build-release/src/app/quillmere-bridge"
}

# The smallest valid PNG; what follows its end is never read by inspection.
tiny_png() {
  printf '\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x00\x00\x00\x00\x3a\x7e\x9b\x55'
  printf '\x00\x00\x00\x0aIDATx\x9c\x63\x60\x00\x00\x00\x02\x00\x01\xe5\x27\xde\xfc'
  printf '\x00\x00\x00\x00IEND\xae\x42\x60\x82'
}

# make_batch NAME PAIRS BYTES: inputs and a request in $work/NAME.
make_batch() {
  local name=$1 pairs=$2 bytes=$3 dir=$work/$1 items="" i
  mkdir -p "$dir/in" "$dir/out"
  for ((i = 0; i < pairs; i++)); do
    head -c "$bytes" /dev/urandom >"$dir/in/o$i"
    { tiny_png; head -c $((bytes - 67)) /dev/urandom; } >"$dir/in/r$i.png"
    items+="${items:+,}{\"sourcePath\":\"in/o$i\",\"renderPath\":\"in/r$i.png\","
    items+="\"externalPhotoId\":\"p$i\",\"externalVariantId\":\"v$i\"}"
  done
  printf '{"provider":"CAPTURE_ONE","catalogId":"bench","destination":"out","items":[%s]}' \
    "$items" >"$dir/request.json"
  cat "$dir"/in/* >/dev/null  # warm: every input in the page cache
}

# run_once BINARY NAME: seconds of one whole batch, the saved batch removed afterwards.
run_once() {
  local binary=$1 dir=$work/$2 start end
  start=$(date +%s.%N)
  (cd "$dir" && "$binary" --request request.json result.json)
  end=$(date +%s.%N)
  rm -rf "$dir"/out/Quillmere-* "$dir/result.json"
  echo "$end - $start" | bc -l
}

summary() {  # median and range of the numbers on standard input
  sort -g | awk '{v[NR] = $1} END {printf "median %.3f s (%.3f to %.3f)", v[int((NR + 1) / 2)], v[1], v[NR]}'
}

before=$(built_before)
now=$(built_now)
make_batch large 8 $((32 << 20))
make_batch small 500 $((16 << 10))

# OpenSSL's SHA-256 on one core, in bytes per second, from its 1 MiB blocks.
speed=$(openssl speed -seconds 2 -bytes 1048576 sha256 2>/dev/null |
  awk '/^sha256/ {v = $NF; sub(/k$/, "", v); print v * 1000}')
floor_bytes=$((8 * (2 + 2) * (32 << 20)))

for workload in large small; do
  : >"$work/$workload.before"
  : >"$work/$workload.now"
  for ((round = 0; round < rounds; round++)); do
    run_once "$before" "$workload" >>"$work/$workload.before"
    run_once "$now" "$workload" >>"$work/$workload.now"
  done
  echo "$workload, $rounds alternating runs each:"
  echo "  $revision: $(summary <"$work/$workload.before")"
  echo "  this checkout: $(summary <"$work/$workload.now")"
  if [ "$workload" = large ]; then
    floor=$(echo "$floor_bytes / $speed" | bc -l)
    printf '  hashing floor %.3f s (OpenSSL SHA-256, one core: %.0f MB/s)\n' "$floor" "$(echo "$speed / 1000000" | bc -l)"
    for build in before now; do
      median=$(sort -g "$work/large.$build" | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
      printf '  %s: median / floor = %.2f\n' "$build" "$(echo "$median / $floor" | bc -l)"
    done
  else
    for build in before now; do
      median=$(sort -g "$work/small.$build" | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
      printf '  %s: %.3f ms per pair\n' "$build" "$(echo "$median * 1000 / 500" | bc -l)"
    done
  fi
done
