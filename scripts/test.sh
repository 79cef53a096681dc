#!/usr/bin/env bash
# Everything a fresh Debian 12 machine needs to run the whole test suite:
# packages, a sanitizer build, the services, and CTest; then the suite under
# ThreadSanitizer, a short fuzzing pass and the package's checks.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# Every build here is made to be run once.
export QUILLET_UNITY_BUILD=ON
scripts/build.sh

# The other three builds go on while the tests run, which mostly wait on
# real-time audio and on servers. At the lowest priorities they take only
# the CPU the tests leave; the ThreadSanitizer build, needed first, ahead.
# They stay in this session: the scheduler weighs niceness only within one.
logs=$(mktemp -d)
nice -n 15 scripts/build.sh tsan >"$logs/tsan" 2>&1 &
tsan=$!
nice -n 19 bash -c 'scripts/fuzz.sh build && scripts/package.sh build' >"$logs/others" 2>&1 &
others=$!
# Leaving early stops the builds with everything they started.
stop() { local child; for child in $(pgrep -P "$1"); do stop "$child"; done; kill "$1" 2>/dev/null || true; }
trap 'stop $tsan; stop $others; rm -rf "$logs"' EXIT
built() { wait "$1" || { echo "the $2 build failed:"; tail -60 "$logs/$2"; exit 1; }; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scripts/with-services.sh ctest --test-dir build --output-on-failure -j2 --timeout 300

# The whole suite once more under ThreadSanitizer: every test of the suite
# (the names with a dot), so that each suite that starts a thread is covered
# without a list to keep; the tools the tests start are built the same way
# and get the same options. One test is left out: the reading recorded
# whole, whose threads the agent's recording and the library's suites go
# through here too, and whose bound on recognition errors holds alike
# whatever the build (the run above checks it); under the sanitizer it is
# the longest.
built $tsan tsan
# A speech model's trial load forks; the child must live to report on it.
G_SLICE=always-malloc TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp" \
  scripts/with-services.sh ctest --test-dir build-tsan --output-on-failure -j2 --timeout 300 \
  -R '\.' -E '^RecordCommand\.TranscribesTheCallIntoAMeetingThatEnhanceReads$'

built $others others
# A short fuzzing pass over every parser of outside data.
scripts/fuzz.sh "${QUILLET_FUZZ_SECONDS:-5}"

# The Debian package installs and runs.
scripts/package.sh
