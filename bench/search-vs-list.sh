#!/usr/bin/env bash
# `quillet search` next to `quillet list` over the generated 2,000-meeting
# store (whole processes, warm cache): wall time and peak memory. Search
# should take at most half as long again as list, and its memory should not
# grow with the store (compare with the 200-meeting store below).
# Needs `scripts/build.sh release`.
set -euo pipefail
cd "$(dirname "$0")/.."
quillet="$PWD/build-release/quillet"
export LANG=pt_BR.UTF-8 TZ=America/Sao_Paulo
source bench/generated-store.sh
big="$store"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A tenth of the store, for the memory comparison.
small="$scratch/small"
mkdir -p "$small"
ls "$big" | head -200 | while IFS= read -r name; do ln -s "$big/$name" "$small/$name"; done

config() {  # store → a configuration folder pointing at it
  mkdir -p "$scratch/$2/app.quillet.mac"
  printf '{"storagePath": "%s"}' "$1" >"$scratch/$2/app.quillet.mac/preferences.json"
  echo "$scratch/$2"
}
bigConfig=$(config "$big" big)
smallConfig=$(config "$small" small)

rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
for words in "orçamento" "decisão métrica receita"; do
  echo "search \"$words\": $(XDG_CONFIG_HOME=$bigConfig "$quillet" search $words | wc -l) lines"
done
XDG_CONFIG_HOME=$bigConfig hyperfine -N --warmup 2 --runs 10 --style basic \
  "$quillet list" "$quillet search orçamento" "$quillet search decisão métrica receita" 2>&1 |
  grep -E "Time|quillet"
echo "peak memory (KiB), 2,000 meetings: list $(XDG_CONFIG_HOME=$bigConfig rss "$quillet" list)," \
  "search $(XDG_CONFIG_HOME=$bigConfig rss "$quillet" search orçamento)"
echo "peak memory (KiB),   200 meetings: list $(XDG_CONFIG_HOME=$smallConfig rss "$quillet" list)," \
  "search $(XDG_CONFIG_HOME=$smallConfig rss "$quillet" search orçamento)"
