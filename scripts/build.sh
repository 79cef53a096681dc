#!/usr/bin/env bash
# Builds into build/ (tests, with AddressSanitizer and UBSan); with
# "release", into build-release/ (the tool and the benchmarks); with "tsan",
# into build-tsan/ (the tests and the tool, with ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "release" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF -DQUILLET_BENCH=ON >/dev/null
  cmake --build build-release -j2
elif [ "${1:-}" = "tsan" ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_TSAN=ON >/dev/null
  cmake --build build-tsan -j2 --target quillet_tests quillet
else
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON >/dev/null
  cmake --build build -j2
fi
