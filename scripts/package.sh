#!/usr/bin/env bash
# Builds the Debian packages (quillet and quillet-dev) with CPack and checks
# them: lintian finds no error; the packaged tool runs from an unpacked root,
# in Portuguese and, through the packaged catalog, in English; the manual page
# and completions are in place; every declared dependency is installable
# here; a small client builds against the -dev package with pkg-config alone;
# and a tree installed under another prefix finds its catalogs. Any failed
# check fails the script. With "build", only builds the tree.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLET_TESTS=OFF -DCMAKE_UNITY_BUILD="${QUILLET_UNITY_BUILD:-OFF}" >/dev/null
cmake --build build-package -j2 >/dev/null
[ "${1:-}" != build ] || exit 0
rm -f build-package/quillet*.deb
(cd build-package && cpack -G DEB >/dev/null)
tool=$(ls build-package/quillet_*.deb)
dev=$(ls build-package/quillet-dev_*.deb)
for deb in "$tool" "$dev"; do
  echo "package: $deb"
  dpkg-deb -f "$deb" Package Version Section Depends
done

# No lintian error (warnings are shown, not fatal).
lintian --no-tag-display-limit "$tool" "$dev" | tee build-package/lintian.log
if grep -q '^E:' build-package/lintian.log; then echo "lintian reports errors"; exit 1; fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root" home="$scratch/home"
mkdir -p "$root" "$home"
dpkg-deb -x "$tool" "$root"
dpkg-deb -x "$dev" "$root"
for f in usr/bin/quillet usr/share/man/man1/quillet.1.gz usr/share/bash-completion/completions/quillet \
         usr/share/zsh/vendor-completions/_quillet usr/share/locale/en/LC_MESSAGES/quillet.mo \
         usr/share/doc/quillet/copyright usr/share/doc/quillet/changelog.gz \
         usr/share/doc/quillet-dev/copyright usr/include/QuilletKit/Store.hpp; do
  [ -e "$root/$f" ] || { echo "missing from the packages: $f"; exit 1; }
done
pc=$(find "$root/usr/lib" -name quillet-kit.pc)
[ -n "$pc" ] || { echo "missing from the packages: quillet-kit.pc"; exit 1; }
if dpkg-deb -c "$tool" | grep -q 'usr/include\|\.a$\|\.pc$'; then echo "development files in the tool's package"; exit 1; fi
# Every declared dependency names a package this machine knows.
for deb in "$tool" "$dev"; do
  dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | grep -v '^$' | while read -r p; do
    apt-cache show "$p" >/dev/null 2>&1 || { echo "unknown dependency: $p"; exit 1; }
  done
done

run() { env -i HOME="$home" PATH=/usr/bin:/bin "$@"; }
run LANG=C.UTF-8 "$root/usr/bin/quillet" doctor
# The unpacked tree is another prefix: its catalogs are found beside it.
# Captured first: grep -q leaving early would fail the tool with SIGPIPE.
english=$(run LANGUAGE=en "$root/usr/bin/quillet" doctor)
grep -q "^Notes:  " <<<"$english" || { echo "the packaged English catalog is not used"; exit 1; }
# The manual page renders, and without a single warning from the formatter.
warnings=$(man --warnings -l "$root/usr/share/man/man1/quillet.1.gz" 2>&1 >/dev/null) \
  || { echo "the packaged manual page does not render"; exit 1; }
[ -z "$warnings" ] || { echo "the packaged manual page: $warnings"; exit 1; }

# A client of the library, built with what pkg-config says and nothing else.
cat >"$scratch/client.cpp" <<'EOF'
#include <QuilletKit/CalendarWatcher.hpp>
#include <QuilletKit/Preferences.hpp>
#include <QuilletKit/SpeechAssets.hpp>
#include <cstdio>
int main() { std::printf("%s %d %d\n", quillet::SpeechAssets::shared().status(quillet::MeetingLanguage::en()).c_str(), quillet::CalendarWatcher::isAuthorized(), quillet::Preferences::load().provider().hasKey()); }
EOF
PKG_CONFIG_PATH="$(dirname "$pc")" g++ -o "$scratch/client" "$scratch/client.cpp" \
  $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --define-variable=prefix="$root/usr" --cflags --libs quillet-kit)
run "$scratch/client"

# Installed under a prefix other than the configured one.
cmake --install build-package --prefix "$scratch/elsewhere" >/dev/null
elsewhere=$(run LANGUAGE=en "$scratch/elsewhere/bin/quillet" doctor)
grep -q "^Notes:  " <<<"$elsewhere" || { echo "a tree installed elsewhere does not find its catalogs"; exit 1; }
echo "package OK"
