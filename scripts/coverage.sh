#!/usr/bin/env bash
# Line and branch coverage of the library and the tool over the whole suite:
# builds into build-coverage/ with gcov instrumentation, runs every test with
# its services and prints gcovr's summary (an HTML report goes beside it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
command -v gcovr >/dev/null || { echo "gcovr is missing (apt install gcovr)"; exit 1; }
cmake -S . -B build-coverage -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build build-coverage -j2
# Objects of sources that moved between targets keep their notes files,
# which gcovr would merge with the current ones: both go.
ninja -C build-coverage -t cleandead >/dev/null
find build-coverage -name '*.gcno' | while read -r notes; do [ -e "${notes%.gcno}.o" ] || rm "$notes"; done
find build-coverage -name '*.gcda' -delete
suite=0
scripts/with-services.sh ctest --test-dir build-coverage -j2 --timeout 300 >build-coverage/ctest.log 2>&1 || suite=$?
[ $suite -eq 0 ] || { tail -30 build-coverage/ctest.log; echo "the suite failed; coverage below is partial"; }
gcovr --root . --object-directory build-coverage --filter 'QuilletKit/' --filter 'QuilletCLI/' \
  --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
  --html-details build-coverage/coverage.html --print-summary
exit $suite
