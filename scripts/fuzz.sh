#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (or the ones named as
# arguments) for a fixed time on a copy of its seed corpus, so the repository
# gains no files. Any finding (crash, sanitizer report, leak, timeout, memory
# limit) fails the run; its input and log stay in build/fuzz/runs/<target>/.
# A fuzz/<target>.dict, when there is one, is the target's dictionary.
#
#   BRINDAX_FUZZ_SECONDS  time per target (default 45)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/compiler-cache.sh

seconds="${BRINDAX_FUZZ_SECONDS:-45}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "BRINDAX_FUZZ_SECONDS must be a positive number" >&2; exit 2; }

cmake --preset fuzz >/dev/null
if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < build/fuzz/fuzz-targets.txt
fi
cmake --build --preset fuzz --target "${targets[@]/#/fuzz-}"

passed=0
failed=0
for target in "${targets[@]}"; do
  run="$root/build/fuzz/runs/$target"
  rm -rf "$run"
  mkdir -p "$run/tmp" "$run/findings"
  cp -r "$root/fuzz/corpus/$target" "$run/corpus"
  log="$run/fuzz.log"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$run/findings/")
  [ -f "$root/fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
  start=$SECONDS
  # Sanitizer options: a report ends the process with a failure.
  if TMPDIR="$run/tmp" \
     ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1" \
     UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
     "$root/build/fuzz/fuzz/fuzz-$target" "${options[@]}" "$run/corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
    echo "fuzz-$target: passed, ${runs:-?} runs in $((SECONDS - start)) s"
    passed=$((passed + 1))
    rm -rf "$run/corpus" "$run/tmp"
  else
    echo "fuzz-$target: FAILED after $((SECONDS - start)) s; input and log in $run"
    grep -A25 -m1 -E '^==[0-9]+==|runtime error|invariant broken|ERROR: libFuzzer' "$log" || tail -25 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
