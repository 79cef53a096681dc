#!/usr/bin/env bash
# Start-up of the light front end: `quillet list` over the example store next
# to /bin/true, as the mean wall time of a run over many, in milliseconds.
# Needs `scripts/build.sh release`; other programs may be named instead.
#   bench/startup.sh [program ...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${QUILLET_BENCH_RUNS:-200}"
export XDG_CONFIG_HOME="$PWD/examples/config" LANG=C.UTF-8

mean() {
  local start=$(date +%s%N)
  for _ in $(seq "$runs"); do "$@" >/dev/null; done
  awk -v ns=$(( $(date +%s%N) - start )) -v n="$runs" 'BEGIN { printf "%.2f ms", ns / n / 1e6 }'
}

[ $# -gt 0 ] || set -- build-release/quillet
echo "/bin/true: $(mean /bin/true)"
for program in "$@"; do
  "$program" list >/dev/null || { echo "$program list failed"; exit 1; }
  echo "$program list: $(mean "$program" list)"
done
