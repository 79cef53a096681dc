#!/usr/bin/env bash
# Start-up of the light front end: `quillet list` over the example store next
# to /bin/true, as the mean wall time of a run over many, in milliseconds.
# Needs `scripts/build.sh release`; other programs may be named instead.
#   bench/startup.sh [program ...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${QUILLET_BENCH_RUNS:-200}"
export XDG_CONFIG_HOME="$PWD/examples/config" LANG=C.UTF-8

# Wall and processor (user + system) time of one run, averaged over all:
# the processor time holds steadier on a busy machine.
mean() {
  local TIMEFORMAT="%R %U %S" times
  times=$( { time (for _ in $(seq "$runs"); do "$@" >/dev/null; done) ; } 2>&1 )
  awk -v n="$runs" '{ printf "%.2f ms wall, %.2f ms processor", $1 * 1000 / n, ($2 + $3) * 1000 / n }' <<<"$times"
}

[ $# -gt 0 ] || set -- build-release/quillet
echo "/bin/true: $(mean /bin/true)"
for program in "$@"; do
  "$program" list >/dev/null || { echo "$program list failed"; exit 1; }
  echo "$program list: $(mean "$program" list)"
done
