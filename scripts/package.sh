#!/usr/bin/env bash
# Builds the Debian package with CPack, unpacks it into a throw-away root and
# runs the packaged tool from there: `quillet doctor` in Portuguese and, through
# the packaged catalog, in English; the manual page and completions must be in
# place, and every dependency the package declares must be installable here.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLET_TESTS=OFF >/dev/null
cmake --build build-package -j2 >/dev/null
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls -t build-package/quillet_*.deb | head -1)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Depends

root=$(mktemp -d)
home=$(mktemp -d)
trap 'rm -rf "$root" "$home"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/quillet usr/share/man/man1/quillet.1 usr/share/bash-completion/completions/quillet \
         usr/share/zsh/vendor-completions/_quillet usr/share/locale/en/LC_MESSAGES/quillet.mo \
         usr/include/QuilletKit/Store.hpp; do
  [ -e "$root/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
[ -n "$(find "$root/usr/lib" -name quillet-kit.pc)" ] || { echo "missing from the package: quillet-kit.pc"; exit 1; }
# Every declared dependency names a package this machine knows.
dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/[|(].*//; s/ //g' | grep -v '^$' | while read -r p; do
  apt-cache show "$p" >/dev/null 2>&1 || { echo "unknown dependency: $p"; exit 1; }
done

run() { env -i HOME="$home" PATH=/usr/bin:/bin "$@"; }
run LANG=C.UTF-8 "$root/usr/bin/quillet" doctor
# Captured first: grep -q leaving early would fail the tool with SIGPIPE.
english=$(run LANGUAGE=en QUILLET_LOCALEDIR="$root/usr/share/locale" "$root/usr/bin/quillet" doctor)
grep -q "^Notes:  " <<<"$english" || { echo "the packaged English catalog is not used"; exit 1; }
# The manual page renders, and without a single warning from the formatter.
warnings=$(man --warnings -l "$root/usr/share/man/man1/quillet.1" 2>&1 >/dev/null) \
  || { echo "the packaged manual page does not render"; exit 1; }
[ -z "$warnings" ] || { echo "the packaged manual page: $warnings"; exit 1; }
echo "package OK"
