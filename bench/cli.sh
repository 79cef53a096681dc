#!/usr/bin/env bash
# Wall time of whole `quillet` processes: no arguments, `list` over the example
# store, and `list` over the generated 2,000-meeting store next to `cat`
# reading the same files. Needs `scripts/build.sh release`.
set -euo pipefail
cd "$(dirname "$0")/.."
quillet="$PWD/build-release/quillet"
export LANG=pt_BR.UTF-8 TZ=America/Sao_Paulo
source bench/generated-store.sh

# Best and median of N runs of a command, in milliseconds.
timeit() {
  local runs=$1; shift
  local times=()
  for _ in $(seq "$runs"); do
    local start=$(date +%s%N)
    "$@" >/dev/null
    times+=($(( ($(date +%s%N) - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "best %.2f ms, median %.2f ms\n", a[1]/1000, a[int((NR+1)/2)]/1000}'
}

config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
mkdir -p "$config/app.quillet.mac"
printf '{"storagePath": "%s"}' "$store" >"$config/app.quillet.mac/preferences.json"
files=$(mktemp -p "$config")
find "$store" -mindepth 2 -maxdepth 2 -type f \( -name meta.json -o -name 'notas*.md' -o -name transcricao.jsonl \) -print0 >"$files"

echo "quillet (usage):             $(XDG_CONFIG_HOME=$PWD/examples/config timeit 50 "$quillet")"
echo "quillet list (examples):     $(XDG_CONFIG_HOME=$PWD/examples/config timeit 50 "$quillet" list)"
echo "quillet list (2,000 meetings): $(XDG_CONFIG_HOME=$config timeit 10 "$quillet" list)"
echo "cat of the same files:       $(timeit 10 xargs -0 -a "$files" cat)"
