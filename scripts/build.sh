#!/usr/bin/env bash
# Builds into build/ (tests, with AddressSanitizer and UBSan); with
# "release", into build-release/ (the tool and the benchmarks); with "tsan",
# into build-tsan/ (the tests and the tool, with ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
# QUILLET_UNITY_BUILD=ON compiles several sources as one: less than half the
# time for a build made to be run once (the test command's), more for a
# build edited and rebuilt.
unity="-DCMAKE_UNITY_BUILD=${QUILLET_UNITY_BUILD:-OFF}"

if [ "${1:-}" = "release" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF -DQUILLET_BENCH=ON $unity >/dev/null
  cmake --build build-release -j2
elif [ "${1:-}" = "tsan" ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_TSAN=ON $unity >/dev/null
  cmake --build build-tsan -j2 --target quillet_tests quillet
else
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON $unity >/dev/null
  cmake --build build -j2
fi
