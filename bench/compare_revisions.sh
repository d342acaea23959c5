#!/usr/bin/env bash
# Times request mode as a whole process, one build against another, their runs alternating so that
# a machine that drifts in speed treats both alike. Builds REVISION (any git revision) in a
# worktree beside this checkout, and this checkout's Release build, then runs each workload:
#
#   large   8 pairs of 32 MiB (random bytes behind a tiny PNG header), warm page cache
#   small   500 pairs of 16 KiB, warm page cache
#   cold    the large batch with every original and render dropped from the page cache before
#           each run (posix_fadvise DONTNEED, through dd's nocache flag), as when a shoot has sat
#           in the library for a while
#   startup processor time (user and system, from wait4) of `--version` and of a request of one
#           pair of 16 KiB: what starting the program costs, its libraries loaded and initialised
#
# ROUNDS times per build (default 7), and prints each build's median and range. For the large
# batch it also prints the hashing floor: the bytes a batch must hash (each original twice, each
# render and its copy once) at the speed `openssl speed -evp sha256` measures for one core, and
# each build's median as a ratio to it. For the cold batch it times, in the same rounds, what the
# disk itself takes for the same bytes: reading every input once (cat), then writing as many
# bytes as the renders hold, flushed, and reading them back from the device; and prints each
# build's median as a ratio to that.
#
# Usage: bench/compare_revisions.sh REVISION [ROUNDS [WORK-FOLDER [WORKLOADS]]]
# The work folder (default $TMPDIR or /tmp) should be on a real disk: copies are read back from
# the medium, which tmpfs cannot show. WORKLOADS: any of "large small cold startup" (default the first three).
# BEFORE_BINARY and NOW_BINARY, when set, name builds made already (REVISION is then only a label).
# Saved batches are moved aside between runs and removed at the end: a file system without a
# journal (ext4 without one, as here) scans past recently freed inodes when it creates files, so
# removing thousands of files between runs would slow the next run's creation of its copies.
set -euo pipefail

revision=${1:?usage: bench/compare_revisions.sh REVISION [ROUNDS [WORK-FOLDER [WORKLOADS]]]}
rounds=${2:-7}
work=$(mktemp -d "${3:-${TMPDIR:-/tmp}}/quillmere-compare.XXXXXX")
workloads=${4:-large small cold}
mkdir -p "$work/aside"
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
  sync  # flushed, so that the cold runs can drop them
  cat "$dir"/in/* >/dev/null  # warm: every input in the page cache
}

# drop_inputs NAME: every input of the batch out of the page cache (they are flushed already).
drop_inputs() {
  local file
  for file in "$work/$1"/in/*; do dd if="$file" iflag=nocache count=0 status=none; done
}

# run_once BINARY NAME: seconds of one whole batch, the saved batch moved aside afterwards.
run_once() {
  local binary=$1 dir=$work/$2 start end
  start=$(date +%s.%N)
  (cd "$dir" && "$binary" --request request.json result.json)
  end=$(date +%s.%N)
  mv "$dir"/out/Quillmere-* "$(mktemp -d "$work/aside/XXXXXX")"
  rm -f "$dir/result.json"
  echo "$end - $start" | bc -l
}

# disk_once NAME: seconds the disk takes for a cold batch's bytes: every input read once, then as
# many bytes as the renders hold written, flushed, dropped from the page cache and read back.
disk_once() {
  local dir=$work/$1 probe=$work/aside/disk-probe start end bytes
  bytes=$(cat "$dir"/in/r*.png | wc -c)
  drop_inputs "$1"
  start=$(date +%s.%N)
  cat "$dir"/in/* >/dev/null
  head -c "$bytes" /dev/zero | dd of="$probe" bs=1M iflag=fullblock conv=fsync status=none
  dd if="$probe" iflag=nocache count=0 status=none
  cat "$probe" >/dev/null
  end=$(date +%s.%N)
  rm -f "$probe"
  echo "$end - $start" | bc -l
}

median_of() { sort -g "$1" | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

summary() {  # median and range of the numbers on standard input
  sort -g | awk '{v[NR] = $1} END {printf "median %.3f s (%.3f to %.3f)", v[int((NR + 1) / 2)], v[1], v[NR]}'
}

before=${BEFORE_BINARY:-$(built_before)}
now=${NOW_BINARY:-$(built_now)}
case " $workloads " in *" large "* | *" cold "*) make_batch large 8 $((32 << 20)) ;; esac
case " $workloads " in *" small "*) make_batch small 500 $((16 << 10)) ;; esac
case " $workloads " in *" startup "*) make_batch tiny 1 $((16 << 10)) ;; esac

# cpu_once BINARY NAME ARGUMENTS...: milliseconds of processor time of one process started in
# $work/NAME by posix_spawn, which copies nothing of the caller's memory, so that what is counted
# is the program's own start-up; output dropped, a saved batch moved aside afterwards.
cpu_once() {
  local binary=$1 dir=$work/$2
  shift 2
  (cd "$dir" && python3 -c '
import os, sys
null = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_WRONLY, 0) for fd in (1, 2)]
pid = os.posix_spawn(sys.argv[1], sys.argv[1:], os.environ, file_actions=null)
_, status, usage = os.wait4(pid, 0)
if status != 0: sys.exit("status %d" % status)
print("%.3f" % ((usage.ru_utime + usage.ru_stime) * 1000))' "$binary" "$@")
  if [ -d "$dir/out" ]; then
    find "$dir/out" -mindepth 1 -maxdepth 1 -exec mv {} "$(mktemp -d "$work/aside/XXXXXX")" \;
  fi
  rm -f "$dir/result.json"
}

# OpenSSL's SHA-256 on one core, in bytes per second, from its 1 MiB blocks.
speed=$(openssl speed -seconds 2 -bytes 1048576 -evp sha256 2>/dev/null |
  awk '/^sha256/ {v = $NF; sub(/k$/, "", v); print v * 1000}')
floor_bytes=$((8 * (2 + 2) * (32 << 20)))

for workload in $workloads; do
  data=$workload
  [ "$workload" = cold ] && data=large
  if [ "$workload" = startup ]; then
    for what in version request; do
      : >"$work/$what.before"
      : >"$work/$what.now"
    done
    for ((round = 0; round < rounds; round++)); do
      for build in before now; do
        binary=$before
        [ $build = now ] && binary=$now
        cpu_once "$binary" tiny --version >>"$work/version.$build"
        cpu_once "$binary" tiny --request request.json result.json >>"$work/request.$build"
      done
    done
    echo "startup, processor time, $rounds alternating runs each (load average $(cut -d' ' -f1-3 /proc/loadavg)):"
    for what in version request; do
      for build in before now; do
        label=$revision
        [ $build = now ] && label="this checkout"
        printf '  %s, %s: %s\n' "$what" "$label" "$(sort -g "$work/$what.$build" |
          awk '{v[NR] = $1} END {printf "median %.2f ms (%.2f to %.2f)", v[int((NR + 1) / 2)], v[1], v[NR]}')"
      done
    done
    continue
  fi
  : >"$work/$workload.before"
  : >"$work/$workload.now"
  : >"$work/$workload.disk"
  for ((round = 0; round < rounds; round++)); do
    [ "$workload" = cold ] && drop_inputs "$data"
    run_once "$before" "$data" >>"$work/$workload.before"
    [ "$workload" = cold ] && drop_inputs "$data"
    run_once "$now" "$data" >>"$work/$workload.now"
    [ "$workload" = cold ] && disk_once "$data" >>"$work/$workload.disk"
  done
  [ "$workload" = cold ] || cat "$work/$data"/in/* >/dev/null  # warm again for what follows
  echo "$workload, $rounds alternating runs each:"
  echo "  $revision: $(summary <"$work/$workload.before")"
  echo "  this checkout: $(summary <"$work/$workload.now")"
  case $workload in
    large)
      floor=$(echo "$floor_bytes / $speed" | bc -l)
      printf '  hashing floor %.3f s (OpenSSL SHA-256, one core: %.0f MB/s)\n' "$floor" "$(echo "$speed / 1000000" | bc -l)"
      for build in before now; do
        printf '  %s: median / floor = %.2f\n' "$build" "$(echo "$(median_of "$work/large.$build") / $floor" | bc -l)"
      done
      ;;
    small)
      for build in before now; do
        printf '  %s: %.3f ms per pair\n' "$build" "$(echo "$(median_of "$work/small.$build") * 1000 / 500" | bc -l)"
      done
      ;;
    cold)
      disk=$(median_of "$work/cold.disk")
      echo "  the disk's own time (inputs read once, the renders' bytes written, flushed and read back): $(summary <"$work/cold.disk")"
      for build in before now; do
        printf '  %s: median / disk = %.2f\n' "$build" "$(echo "$(median_of "$work/cold.$build") / $disk" | bc -l)"
      done
      ;;
  esac
done
