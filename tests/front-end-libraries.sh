#!/usr/bin/env bash
# The light front end answers `list` from the core alone: it loads none of the desktop services' libraries.
#   tests/front-end-libraries.sh build/quillet
set -euo pipefail
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed"
[ -n "$needed" ] || { echo "no libraries read from $1"; exit 1; }
if heavy=$(grep -E '^lib(curl|gio|glib|gobject|pocketsphinx|sphinx|secret|pulse|X11|Xtst|Xfixes|sndfile|samplerate|ical)' \
    <<<"$needed"); then
  echo "the front end loads: $heavy"
  exit 1
fi
