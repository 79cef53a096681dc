#!/usr/bin/env bash
# Store::list over the generated 2,000-meeting store next to `cat` reading
# the same files, both with a warm cache. Needs `scripts/build.sh release`.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/generated-store.sh
files=$(mktemp)
trap 'rm -f "$files"' EXIT
find "$store" -mindepth 2 -maxdepth 2 -type f \( -name meta.json -o -name 'notas*.md' -o -name transcricao.jsonl \) -print0 >"$files"
best=""
for _ in 1 2 3 4 5 6; do
  start=$(date +%s%N)
  xargs -0 -a "$files" cat >/dev/null
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  [ -z "$best" ] || [ "$elapsed" -lt "$best" ] && best=$elapsed
done
echo "cat of the same $(tr -cd '\0' <"$files" | wc -c) files: ${best} ms (best of 6)"
build-release/bench/StoreBench --benchmark_filter=BM_List 2>/dev/null | grep BM_List
