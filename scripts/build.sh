#!/usr/bin/env bash
# Builds into build/ (tests, with AddressSanitizer and UBSan) or, with
# "release", into build-release/ (the tool and the benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "release" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF -DQUILLET_BENCH=ON >/dev/null
  cmake --build build-release -j2
else
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON >/dev/null
  cmake --build build -j2
fi
