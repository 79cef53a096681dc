#!/usr/bin/env bash
# Installs, builds and lists the example meetings shipped in examples/store.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh release >/dev/null
XDG_CONFIG_HOME="$PWD/examples/config" build-release/quillet list
