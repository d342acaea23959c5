#!/usr/bin/env bash
# The reliability checks that need more than the normal test run, one build each:
#   1. every test under AddressSanitizer + UndefinedBehaviorSanitizer (the asan preset, Clang);
#   2. the tests that work on several threads under ThreadSanitizer (the tsan preset): batches (which
#      read the next pair on a second thread), request mode's signal watcher, the window's
#      background saves and concurrent batches;
#   3. each libFuzzer target, built by the asan preset too, on its seed corpus, all at once: the
#      request, render and manifest decoders for FUZZ_SECONDS (default 60), the window's picture maker for
#      THUMBNAIL_FUZZ_SECONDS (default 30; it runs beside the others, so the step takes no longer).
# Installs missing Debian packages first, as scripts/setup.sh does. Exits non-zero when any test
# fails, a sanitizer reports, or a fuzz target finds an input that breaks a promise; such an input
# is kept under build-asan/fuzz-findings/ for fuzz/regressions/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# LibRaw's pkg-config flags carry -fopenmp, which clang links against its own OpenMP runtime.
# bindfs is a FUSE file system that refuses no-replace renames, as some network shares do: the
# batch's fallback commit is tested on it where the machine can mount it.
quillmere_install_missing "${quillmere_packages[@]}" clang libclang-rt-14-dev libomp-14-dev bindfs
cd "$QUILLMERE_ROOT"

fuzz_seconds=${FUZZ_SECONDS:-60}
thumbnail_fuzz_seconds=${THUMBNAIL_FUZZ_SECONDS:-30}
started=$SECONDS
step() { printf '\n== %s (%ds so far)\n' "$1" $((SECONDS - started)); }

step "AddressSanitizer + UBSan: build, then every test"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

step "ThreadSanitizer: build and run the tests that use several threads"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

step "Fuzzing each target (${fuzz_seconds}s, the picture maker ${thumbnail_fuzz_seconds}s)"
findings=build-asan/fuzz-findings
mkdir -p "$findings"
# Requests and manifests of nearly the largest size their fuzzers try, made again for each run
# rather than kept in the repository (megabytes each).
near_limits=build-asan/fuzz-seeds-near-limits
rm -rf "$near_limits"
build-asan/fuzz/make_fuzz_seeds --near-limits "$near_limits"
declare -A pids
for target in request image_info manifest thumbnail; do
  # New inputs go to a working corpus in the build; the committed seeds are only read.
  corpus=build-asan/fuzz-corpus/$target
  mkdir -p "$corpus"
  # Renders up to 1 MiB, so mutations reach headers past the first 64 KiB that inspection reads in
  # one go (the seeds include such files). -len_control=0 lets mutations reach that size from the
  # start: libFuzzer otherwise grows its inputs slowly from the largest seed and never gets near
  # 1 MiB in a run of minutes. -keep_seed=1 keeps the seeds of nearly 1 MiB in the working corpus
  # even where they reach no code the smaller ones do not (the picture maker's decoders are not
  # instrumented), so their mutations are tried too. The request and manifest decoders get the
  # same, with seeds of megabytes made above. Any single input taking over 10 s is a finding: a
  # hang.
  seconds=$fuzz_seconds
  extra_seeds=()
  case $target in
    request)
      options=(-max_len=4194303 -len_control=0 -keep_seed=1 -dict=fuzz/request.dict)
      seeds=fuzz/corpus/request
      extra_seeds=("$near_limits/request")
      ;;
    # Manifests up to 1 MiB: larger ones are only more of the same items.
    manifest)
      options=(-max_len=1048576 -len_control=0 -keep_seed=1 -dict=fuzz/manifest.dict)
      seeds=fuzz/corpus/manifest
      extra_seeds=("$near_limits/manifest")
      ;;
    thumbnail)
      # Originals and renders alike: raw-like files with a preview, and every render seed. A picture
      # holds 48 MiB at most while it is made (ASan's own overhead comes on top).
      options=(-max_len=1048576 -len_control=0 -keep_seed=1 -malloc_limit_mb=256
        -dict=fuzz/image_info.dict)
      seeds=fuzz/corpus/thumbnail
      extra_seeds=(fuzz/corpus/image)
      seconds=$thumbnail_fuzz_seconds
      ;;
    image_info)
      # Inspection holds 64 MiB at most, so a single allocation of over twice that is a finding.
      options=(-max_len=1048576 -len_control=0 -keep_seed=1 -malloc_limit_mb=128
        -dict=fuzz/image_info.dict)
      seeds=fuzz/corpus/image
      ;;
  esac
  "build-asan/fuzz/${target}_fuzzer" "${options[@]}" -timeout=10 -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" "$corpus" "$seeds" "${extra_seeds[@]}" \
    >"build-asan/fuzz-$target.log" 2>&1 &
  pids[$target]=$!
done
failed=0
for target in "${!pids[@]}"; do
  if wait "${pids[$target]}"; then
    echo "$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "build-asan/fuzz-$target.log" | tail -n 1)," \
      "$(grep -E '^largest input tried' "build-asan/fuzz-$target.log" | tail -n 1)"
  else
    failed=1
    echo "$target: the fuzzer failed; the end of its log:" >&2
    tail -n 40 "build-asan/fuzz-$target.log" >&2
    echo "Inputs that broke a promise are in $findings/; once fixed, keep them in fuzz/regressions/." >&2
  fi
done

step "Done"
exit $failed
