#!/usr/bin/env bash
# One long call recorded by `quillet record` on the test bed's private
# PulseAudio server, with recorded speech played into the default sink
# without pause, so that both sides (the system audio, and the microphone,
# which is that sink's monitor) recognise speech all the time: the worst
# case of a call. Samples the resident memory every 10 seconds and reports
# its growth over the run extrapolated to one hour, the CPU time over the
# wall time (cores used on average), and how far recognition lags behind the
# call (the time since the start minus the end of the newest segment on disk,
# which includes the pause before a segment settles). Needs
# `scripts/build.sh release`.
#   QUILLET_BENCH_MINUTES  length of the call (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${PULSE_SERVER:-}" ] || exec scripts/with-services.sh "$0" "$@"

minutes=${QUILLET_BENCH_MINUTES:-5}
quillet="$PWD/build-release/libexec/quillet/quillet"  # the full program, so that /proc is its own
clips=/usr/share/pocketsphinx/test/data/librivox
work=$(mktemp -d /tmp/quillet-record-bench.XXXXXX)
player=""
cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/config/app.quillet.mac"
printf '{"storagePath": "%s/store", "language": "en-US", "autoEnhance": false, "calendarEnabled": false}' \
  "$work" >"$work/config/app.quillet.mac/preferences.json"

XDG_CONFIG_HOME="$work/config" "$quillet" record --title Bench >"$work/out" 2>"$work/err" &
pid=$!
until [ -s "$work/out" ]; do
  kill -0 "$pid" 2>/dev/null || { cat "$work/err"; exit 1; }
  sleep 0.1
done
( while :; do for clip in "$clips"/*.wav; do paplay --device=quillet_a "$clip"; done; done ) &
player=$!

cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }
newest() { tail -n 20 "$folder/transcricao.jsonl" 2>/dev/null | sed -n 's/^{"end":\([0-9.]*\),.*/\1/p' | sort -g | tail -1 || true; }
folder=$(head -1 "$work/out")
ticks=$(getconf CLK_TCK)
cpu0=$(cpu)
start=$(date +%s.%N)
samples=()
for ((i = 0; i < minutes * 6; i++)); do
  sleep 10
  at=$(( (i + 1) * 10 ))
  samples+=("$at $(rss) $(newest)")
  echo "$at s: $(( $(rss) / 1024 )) MB, lag $(echo "$at - 0$(newest)" | bc) s" >&2
done
cpu1=$(cpu)
end=$(date +%s.%N)
kill "$player"; player=""
stopping=$(date +%s.%N)
kill -INT "$pid"
wait "$pid"
stopped=$(date +%s.%N)

printf '%s\n' "${samples[@]}" | awk -v cpu="$(( cpu1 - cpu0 ))" -v ticks="$ticks" -v start="$start" -v end="$end" \
  -v stopping="$stopping" -v stopped="$stopped" -v segments="$(wc -l <"$folder/transcricao.jsonl")" '
  { t[NR] = $1; m[NR] = $2; heard[NR] = $3 }
  END {
    wall = end - start; stop = stopped - stopping; seconds = cpu / ticks
    # Least-squares slope of the memory over the second half of the call.
    n = 0; st = sm = stt = stm = 0
    for (i = int(NR / 2) + 1; i <= NR; i++) { n++; st += t[i]; sm += m[i]; stt += t[i] * t[i]; stm += t[i] * m[i] }
    slope = n > 1 ? (n * stm - st * sm) / (n * stt - st * st) : 0
    printf "call:             %.1f min of speech on both sides, %d segments\n", wall / 60, segments
    printf "cores on average: %.2f (CPU %.1f s over %.1f s)\n", seconds / wall, seconds, wall
    # A loaded machine gives recognition less than it asks for: per second
    # of the call recognised (the newest segment end), what it needed.
    printf "cores needed:     %.2f (CPU over the %.0f s of the call recognised when stopped)\n", seconds / heard[NR], heard[NR]
    printf "resident memory:  %.1f MB at 1 min, %.1f MB at the end; over the second half %+.2f MB/hour\n", \
      m[6] / 1024, m[NR] / 1024, slope * 3600 / 1024
    printf "stop:             %.1f s from Ctrl-C to exit\n", stop
  }'
