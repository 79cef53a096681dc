#!/usr/bin/env bash
# What each test reaches that no other test does: runs every test of the
# coverage build (scripts/coverage.sh first) alone, keeps its .gcda files, and
# prints, fewest first, the library and tool lines and branches only that test
# covers, with the test's name. Tests that cover nothing of their own are what
# a leaner suite would look at first; what they check beyond coverage (timing,
# signals, exact output) is for the reader to weigh.
#   scripts/coverage-per-test.sh             # every test, some twenty minutes
#   scripts/coverage-per-test.sh 'Store'     # only the tests whose name matches
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build-coverage ] || { echo "run scripts/coverage.sh first"; exit 1; }
kept=$(mktemp -d)
trap 'rm -rf "$kept"' EXIT

run_each() {
  cd build-coverage
  ctest -N -R "${1:-.}" | sed -n 's/^ *Test *#\([0-9]*\): \(.*\)$/\1 \2/p' | while read -r number name; do
    find . -name '*.gcda' -delete
    ctest -I "$number,$number" --timeout 300 >/dev/null 2>&1 || echo "failed: $name" >&2
    slot="$kept/${name//\//:}"  # parameterized names hold slashes
    find CMakeFiles -name '*.gcda' | while read -r data; do
      mkdir -p "$slot/$(dirname "$data")"
      mv "$data" "$slot/$data"
      ln -s "$PWD/${data%.gcda}.gcno" "$slot/${data%.gcda}.gcno"
    done
  done
}
export -f run_each
export kept
scripts/with-services.sh bash -c 'run_each "$1"' run_each "${1:-}"

python3 - "$kept" "$PWD" <<'EOF'
import collections, json, os, subprocess, sys
kept, root = sys.argv[1], sys.argv[2]

def covered(test):
    """The lines and branches of QuilletKit/ and QuilletCLI/ that `test` ran."""
    lines, branches = set(), set()
    for folder, _, files in os.walk(os.path.join(kept, test)):
        data = [os.path.join(folder, f) for f in files if f.endswith('.gcda')]
        if not data:
            continue
        out = subprocess.run(['gcov', '-j', '-t', '-b', '-o', folder] + data, cwd=kept,
                             capture_output=True, text=True).stdout
        for document in filter(None, (l.strip() for l in out.splitlines())):
            for f in json.loads(document)['files']:
                name = os.path.relpath(f['file'], root)
                if not name.startswith(('QuilletKit/', 'QuilletCLI/')):
                    continue
                for line in f['lines']:
                    if line['count'] > 0:
                        lines.add((name, line['line_number']))
                    branches.update((name, line['line_number'], i) for i, b in enumerate(line['branches'])
                                    if b['count'] > 0 and not b['throw'])
    return lines, branches

tests = {test: covered(test) for test in sorted(os.listdir(kept))}
by_lines = collections.Counter(x for lines, _ in tests.values() for x in lines)
by_branches = collections.Counter(x for _, branches in tests.values() for x in branches)
rows = sorted((sum(by_lines[x] == 1 for x in lines), sum(by_branches[x] == 1 for x in branches), test)
              for test, (lines, branches) in tests.items())
print('own lines  own branches  test')
for own_lines, own_branches, test in rows:
    print(f'{own_lines:9d}  {own_branches:12d}  {test.replace(":", "/")}')
EOF
