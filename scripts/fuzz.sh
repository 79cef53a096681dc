#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for the given number of seconds (default 10) on a scratch copy of its seed
# corpus. Any crash, leak or sanitizer report fails the script.
#   scripts/fuzz.sh 5          # what the test command runs
#   scripts/fuzz.sh 3600       # a long run by hand
#   scripts/fuzz.sh build      # only the build
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_FUZZ=ON -DQUILLET_TESTS=OFF -DCMAKE_UNITY_BUILD="${QUILLET_UNITY_BUILD:-OFF}" >/dev/null
# Only the targets: the tool is not fuzzed. The build's own status decides;
# its output is shown only when it fails.
log=$(mktemp)
cmake --build build-fuzz -j2 --target $(basename -s .cpp tests/fuzz/*Fuzz.cpp) >"$log" 2>&1 ||
  { tail -40 "$log"; rm -f "$log"; exit 1; }
rm -f "$log"
[ "$seconds" != build ] || exit 0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
targets=(build-fuzz/tests/fuzz/*Fuzz)
[ -x "${targets[0]}" ] || { echo "no fuzz target was built"; exit 1; }
# One target's run; its verdict goes to <name>.verdict, "ok" or "finding".
fuzz() {
  local name
  name=$(basename "$1")
  mkdir -p "$scratch/$name"
  if "$1" -max_total_time="$seconds" -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$scratch/$name-" "$scratch/$name" "tests/fuzz/corpus/$name" \
      >"$scratch/$name.log" 2>&1; then
    echo ok >"$scratch/$name.verdict"
  else
    echo finding >"$scratch/$name.verdict"
  fi
}
# As many targets at once as there are cores: each runs on one.
jobs=$(nproc)
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  fuzz "$target" &
done
wait
for target in "${targets[@]}"; do
  name=$(basename "$target")
  if [ "$(cat "$scratch/$name.verdict" 2>/dev/null)" = ok ]; then
    runs=$(grep -m1 'stat::number_of_executed_units' "$scratch/$name.log" | awk '{print $2}')
    echo "$name: ${runs:-?} runs, no finding"
  else
    echo "$name: FINDING"; tail -40 "$scratch/$name.log"
    cp "$scratch/$name"-* . 2>/dev/null || true
    status=1
  fi
done
exit $status
